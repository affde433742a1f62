#!/usr/bin/env bash
# Builds the command-line tools and their tests for the build machine itself (they are
# also cross-built for Windows by tools/build.sh, from the same sources).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_NATIVE_BUILD_DIR:-$root/build-native}
"$root/tools/setup-host.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DQEL_BUILD_TESTS="${QEL_BUILD_TESTS:-ON}" >/dev/null
cmake --build "$build" -- -j"$(nproc)"
