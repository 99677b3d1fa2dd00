# The two set-up commands:
#   make demo   build and start the tool with the simulated instrument attached
#   make test   build and run every test
# and for a Debian package:
#   make package   build/zelloader_<version>_<arch>.deb
# and for CI:
#   make sanitize   every test again, built with clang, ASan and UBSan (build-asan)
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

.PHONY: all deps configure build test demo package install clean sanitize

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

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)
