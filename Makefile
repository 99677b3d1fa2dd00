# The two set-up commands:
#   make demo   build and start the tool with the simulated instrument attached
#   make test   build and run every test
# and for a Debian package:
#   make package   build/zelloader_<version>_<arch>.deb
# and for CI:
#   make sanitize   every test again, built with clang, ASan and UBSan (build-asan)
# and for Windows, cross-built here with mingw-w64 against a prefix holding Qt 5.15 and
# HIDAPI for it (tools/build-windows-toolchain.sh makes one):
#   make windows WIN_TOOLCHAIN=<prefix>        programs, zip and installer in build-windows
#   make windows-test WIN_TOOLCHAIN=<prefix>   the Windows tests, under Wine
#
# QT=6 builds against Qt 6 instead of Qt 5.15, in its own folder (build-qt6).
QT ?= 5
ifeq ($(QT),6)
BUILD_DIR ?= build-qt6
else
BUILD_DIR ?= build
endif
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
# Kept apart from CMAKE_ARGS, so that CMAKE_ARGS=... on the command line adds to them.
ZEL_CMAKE_ARGS := -DZEL_QT_MAJOR=$(QT)
ifeq ($(WERROR),1)
ZEL_CMAKE_ARGS += -DZEL_WERROR=ON
endif

# Debian packages the build, the tests and the demo need.
DEB_PACKAGES := cmake make g++ pkg-config libhidapi-dev xvfb xauth python3-intelhex
ifeq ($(QT),6)
DEB_PACKAGES += qt6-base-dev qt6-base-dev-tools libgl-dev
else
DEB_PACKAGES += qtbase5-dev qtbase5-dev-tools
endif
# Building the Debian package (dpkg-shlibdeps reads its dependencies off the program,
# udev's pkg-config file names the rules folder) and the checks the tests run on it.
DEB_PACKAGES += dpkg-dev file gzip udev lintian appstream desktop-file-utils groff-base

# The hidraw rig (tools/hidrig): a FUSE server stands in for the instrument's device
# node, and tests drive the product on Xvfb with xdotool.
DEB_PACKAGES += libfuse3-dev fuse3 xdotool

# ... and what the sanitizer build needs on top.
SANITIZE_PACKAGES := clang libclang-rt-14-dev
SANITIZE_DIR ?= build-asan

# ... and the Windows build: the cross compiler, NSIS for the installer, Wine to run the
# programs and their tests (fonts for Qt's offscreen platform there), pefile to read the
# programs' resources back. The tests in the rig and on Xvfb use the packages above.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix nsis wine wine64 fonts-dejavu-core python3-pefile
WIN_BUILD_DIR ?= build-windows
WIN_TOOLCHAIN ?=
# The Windows build is Qt 5 only: its prefix holds Qt 5.15.
WIN_CMAKE_ARGS := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw64-toolchain.cmake \
    -DZEL_WIN_TOOLCHAIN=$(abspath $(WIN_TOOLCHAIN)) -DZEL_QT_MAJOR=5 -DCMAKE_BUILD_TYPE=Release \
    -DZEL_HOST_BUILD_DIR=$(abspath $(BUILD_DIR))
ifeq ($(WERROR),1)
WIN_CMAKE_ARGS += -DZEL_WERROR=ON
endif

.PHONY: all deps configure build test demo package install clean sanitize windows windows-test

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	    $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(ZEL_CMAKE_ARGS) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target zelLoader-demo zelLoader
	./tools/run-demo.sh $(BUILD_DIR)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

# Each test program stops at its first sanitizer report, and the run at the
# first failing program. Leaks that Qt's own libraries leave at exit are
# suppressed (tests/lsan.supp), nothing else.
sanitize: DEB_PACKAGES += $(SANITIZE_PACKAGES)
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=clang++ -DZEL_SANITIZE=ON $(ZEL_CMAKE_ARGS) $(CMAKE_ARGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	    ctest --output-on-failure --stop-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD_DIR)

windows: DEB_PACKAGES += $(WINDOWS_PACKAGES)
windows: deps
	@if [ -z "$(WIN_TOOLCHAIN)" ]; then \
	    echo "make windows: WIN_TOOLCHAIN=<prefix> must name a prefix with Qt 5.15 and HIDAPI" \
	         "for x86_64-w64-mingw32 (tools/build-windows-toolchain.sh makes one)" >&2; exit 2; fi
	cmake -S . -B $(WIN_BUILD_DIR) $(WIN_CMAKE_ARGS) $(CMAKE_ARGS)
	cmake --build $(WIN_BUILD_DIR) -j $(JOBS)
	cmake --build $(WIN_BUILD_DIR) --target windows-packages

# The tests built for Windows run under Wine; those that drive the Windows programs from
# outside (a fresh Wine prefix, the installer, Ctrl+C, the hidraw rig) are built in the
# Linux build. Without a toolchain there is nothing to test: the tests skip, saying so.
windows-test:
	@if [ -z "$(WIN_TOOLCHAIN)" ]; then \
	    echo "Windows tests skipped: toolchain unavailable; set WIN_TOOLCHAIN=<prefix> (see README)"; \
	else \
	    $(MAKE) --no-print-directory windows && \
	    $(MAKE) --no-print-directory configure && \
	    cmake --build $(BUILD_DIR) -j $(JOBS) --target windows-host-tests && \
	    cd $(WIN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS); \
	fi

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(WIN_BUILD_DIR)
