#!/bin/bash
# Builds the prefix the Windows build needs (make windows WIN_TOOLCHAIN=<prefix>), for
# anyone without a ready copy: Qt 5.15.8 qtbase (QtCore, QtGui, QtWidgets, QtTest, the
# windows, offscreen and minimal platform plugins, the windowsvista style) and HIDAPI
# 0.13.1's Windows backend, both from Debian 12's own source packages, for
# x86_64-w64-mingw32 (Debian's mingw-w64, GCC 12, posix threads). About half an hour to
# an hour on two cores.
#
#   tools/build-windows-toolchain.sh PREFIX [WORKDIR]
#
# Needs root for apt (source packages need a deb-src entry, which it adds). The source
# versions can be chosen with QT_SOURCE_VERSION and HIDAPI_SOURCE_VERSION, for when
# Debian has moved on from the ones given here.
set -euo pipefail
prefix=${1:?usage: build-mingw64-toolchain.sh PREFIX [WORKDIR]}
work=${2:-$(mktemp -d)}
mkdir -p "$work" "$prefix"
prefix=$(cd "$prefix" && pwd)

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 cmake make python3 perl dpkg-dev >/dev/null
if ! apt-cache showsrc qtbase-opensource-src >/dev/null 2>&1 || [ -z "$(apt-cache showsrc qtbase-opensource-src 2>/dev/null)" ]; then
    cat >/etc/apt/sources.list.d/debian-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -q >/dev/null
fi

cd "$work"
apt-get source --download-only "qtbase-opensource-src=${QT_SOURCE_VERSION:-5.15.8+dfsg-11+deb12u3}" \
    "hidapi=${HIDAPI_SOURCE_VERSION:-0.13.1-1}" >/dev/null
tar xf qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz
tar xzf hidapi_0.13.1.orig.tar.gz
qtsrc=$work/qtbase-everywhere-src-5.15.8

# Debian's source leaves out Qt's copy of the Wintab headers, which the windows
# platform plugin includes for pen tablets. Wine ships the same declarations
# (LGPL 2.1) in libwine-dev; wrap them for a build outside Wine.
apt-get download libwine-dev >/dev/null
mkdir -p winedev && dpkg-deb -x libwine-dev_*.deb winedev
wt=$qtsrc/src/3rdparty/wintab
mkdir -p "$wt"
cp winedev/usr/include/wine/wine/windows/wintab.h "$wt/wine_wintab.h"
cp winedev/usr/include/wine/wine/windows/pktdef.h "$wt/wine_pktdef.h"
cat >"$wt/wintab.h" <<'H'
/* Wintab declarations from Wine's headers (LGPL 2.1), wrapped for a non-Wine build. */
#pragma once
#include <windows.h>
#ifndef DECL_WINELIB_TYPE_AW
#  define WINELIB_NAME_AW(x) x##W
#  define DECL_WINELIB_TYPE_AW(type) typedef WINELIB_NAME_AW(type) type;
#endif
#ifndef API
#  define API WINAPI
#endif
#include "wine_wintab.h"
H
printf '#pragma once\n#include "wine_pktdef.h"\n' >"$wt/pktdef.h"

# Qt: configure for the cross target (host tools moc, rcc, uic are built for Linux).
mkdir -p qtbuild && cd qtbuild
"$qtsrc/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -platform linux-g++ -prefix "$prefix" -opensource -confirm-license -release -shared \
    -nomake tests -nomake examples -no-opengl -no-dbus -no-icu -no-fontconfig \
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre -qt-harfbuzz \
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql -no-openssl
make sub-src-qmake_all
# Only the modules and plugins the tool and its tests use.
make -C src -j"$(nproc)" sub-corelib sub-winmain sub-gui sub-widgets sub-testlib sub-platformsupport
for d in platforms/windows platforms/offscreen platforms/minimal styles/windowsvista; do
    make -C "src/plugins/$d" -j"$(nproc)"
done
make -C src sub-zlib-install_subtargets sub-bootstrap-install_subtargets sub-moc-install_subtargets \
    sub-rcc-install_subtargets sub-tracegen-install_subtargets sub-corelib-install_subtargets \
    sub-winmain-install_subtargets sub-testlib-install_subtargets sub-gui-install_subtargets \
    sub-platformsupport-install_subtargets sub-platformheaders-install_subtargets \
    sub-uic-install_subtargets sub-widgets-install_subtargets
for d in platforms/windows platforms/offscreen platforms/minimal styles/windowsvista; do
    make -C "src/plugins/$d" install
done
make install_mkspecs
cp bin/qmake "$prefix/bin/"
cd "$work"

# HIDAPI's Windows backend.
cat >"$work/mingw64.cmake" <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
cmake -S hidapi-hidapi-0.13.1 -B hidapi-build -DCMAKE_TOOLCHAIN_FILE="$work/mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build hidapi-build -j"$(nproc)" >/dev/null
cmake --install hidapi-build >/dev/null
rm -f "$prefix/bin/hidtest.exe"

# The compiler's runtime DLLs, for deployment.
mkdir -p "$prefix/runtime"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")" "$prefix/runtime/"
done
x86_64-w64-mingw32-strip --strip-unneeded "$prefix"/runtime/*.dll "$prefix"/bin/*.dll "$prefix"/plugins/*/*.dll
strip "$prefix"/bin/moc "$prefix"/bin/rcc "$prefix"/bin/uic "$prefix"/bin/qmake "$prefix"/bin/qvkgen "$prefix"/bin/tracegen
echo "toolchain ready in $prefix"
