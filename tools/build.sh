#!/usr/bin/env bash
# Cross-builds the DLL, the demo host and (unless QEL_BUILD_TESTS=OFF) the test programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
"$root/tools/setup-host.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DQEL_BUILD_TESTS="${QEL_BUILD_TESTS:-ON}" >/dev/null
# QEL_TARGETS limits the build to some targets (the runner passes the programs it runs).
cmake --build "$build" ${QEL_TARGETS:+--target Qelvorn demo_host $QEL_TARGETS} -- -j"$(nproc)"
