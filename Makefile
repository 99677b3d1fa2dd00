# The two set-up commands:
#   make demo   build and start the tool with the simulated instrument attached
#   make test   build and run every test
# and for a Debian package:
#   make package   build/zelloader_<version>_<arch>.deb
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
DEB_PACKAGES := cmake make g++ pkg-config libhidapi-dev xvfb xauth
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

.PHONY: all deps configure build test demo package install clean

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

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
