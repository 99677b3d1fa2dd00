# Cross-building the Windows programs on Debian with mingw-w64 (x86_64, posix threads):
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64-toolchain.cmake \
#         -DZEL_WIN_TOOLCHAIN=<prefix>
#
# <prefix> holds Qt 5.15 and HIDAPI built for the same target (tools/windows-toolchain.sh
# makes one); `make windows WIN_TOOLCHAIN=<prefix>` does all of this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(zel_triplet x86_64-w64-mingw32)
# The posix flavour of Debian's compilers: Qt's threads and std::thread need it.
set(CMAKE_C_COMPILER ${zel_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${zel_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${zel_triplet}-windres)

# The toolchain file is read again for every check CMake compiles; the prefix travels
# to those runs through the environment.
if(ZEL_WIN_TOOLCHAIN)
    set(ENV{ZEL_WIN_TOOLCHAIN} "${ZEL_WIN_TOOLCHAIN}")
elseif(DEFINED ENV{ZEL_WIN_TOOLCHAIN})
    set(ZEL_WIN_TOOLCHAIN "$ENV{ZEL_WIN_TOOLCHAIN}")
endif()
if(NOT ZEL_WIN_TOOLCHAIN OR NOT IS_DIRECTORY "${ZEL_WIN_TOOLCHAIN}/lib/cmake/Qt5")
    message(FATAL_ERROR "-DZEL_WIN_TOOLCHAIN=<prefix> must name a prefix with Qt 5.15 and HIDAPI "
                        "built for ${zel_triplet}, not '${ZEL_WIN_TOOLCHAIN}'")
endif()
set(ZEL_WIN_TOOLCHAIN "${ZEL_WIN_TOOLCHAIN}" CACHE PATH
    "Prefix with Qt 5.15 and HIDAPI built for ${zel_triplet}")

# Libraries, headers and CMake packages come from the prefix and the compiler's own
# sysroot only; programs (Qt's moc, rcc and uic among them) run on the build machine.
set(CMAKE_FIND_ROOT_PATH "${ZEL_WIN_TOOLCHAIN}" /usr/${zel_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
