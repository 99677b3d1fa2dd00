#!/bin/sh
# Starts the tool with the simulated instrument attached: ./tools/run-demo.sh <build dir>
set -eu

build_dir=${1:-build}
demo="$build_dir/app/zelLoader-demo"
if [ ! -x "$demo" ]; then
    echo "run-demo: $demo not found; build first (make build)" >&2
    exit 1
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    if ! command -v xvfb-run >/dev/null 2>&1; then
        echo "run-demo: no display and no xvfb-run; install xvfb or run from a desktop session" >&2
        exit 1
    fi
    echo "run-demo: no display found, running on a virtual X server (xvfb-run -a);" \
        "the window is not visible, close it with Ctrl+C"
    exec xvfb-run -a "$demo"
fi
exec "$demo"
