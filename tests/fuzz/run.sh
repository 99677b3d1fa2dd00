#!/usr/bin/env bash
# Runs one fuzz target under libFuzzer (with ASan and UBSan) for a given time:
#   tests/fuzz/run.sh load 600                 # load, sort or report; seconds
#   tests/fuzz/run.sh sort 0 -runs=3000000     # 0: no time limit; the rest goes to libFuzzer
# It first builds the target in build-fuzz with clang and -DZEL_FUZZ=ON. New
# inputs collect in build-fuzz/corpus-<target>, seeded from the committed
# corpus; a crash stops the run and is written to build-fuzz/crash-*. Once it is
# fixed, copy the crash file into tests/fuzz/corpus/<target>, where every build
# replays it under ctest.
set -euo pipefail
target=${1:?usage: run.sh load|sort|report SECONDS [libFuzzer options]}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${ZEL_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZEL_FUZZ=ON >/dev/null
cmake --build "$build" --target "fuzz_$target" -j "$(nproc)"
mkdir -p "$build/corpus-$target"
cd "$build"
# The load and sort targets write a scratch file per input: keep it in memory.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
exec "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 \
    -print_final_stats=1 "$@" "corpus-$target" "$root/tests/fuzz/corpus/$target"
