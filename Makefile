# The two set-up commands:
#   make demo   build and start the tool with the simulated instrument attached
#   make test   build and run every test
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
ifeq ($(WERROR),1)
CMAKE_ARGS += -DZEL_WERROR=ON
endif

# Debian packages the build, the tests and the demo need.
DEB_PACKAGES := cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libhidapi-dev \
                xvfb xauth

# The hidraw rig (tools/hidrig): a FUSE server stands in for the instrument's device
# node, and tests drive the product on Xvfb with xdotool.
DEB_PACKAGES += libfuse3-dev fuse3 xdotool

.PHONY: all deps configure build test demo install clean

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
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target zelLoader-demo zelLoader
	./tools/run-demo.sh $(BUILD_DIR)

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
