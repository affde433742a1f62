#!/usr/bin/env bash
# Builds the command-line tools and their tests for the build machine itself (they are
# also cross-built for Windows by tools/build.sh, from the same sources).
# QEL_SANITIZE=1 builds them instead with clang 14 under AddressSanitizer and
# UndefinedBehaviorSanitizer, with the libFuzzer targets, into build-native-san/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup-host.sh"
if [ "${QEL_SANITIZE:-0}" = 1 ]; then
  build=${QEL_NATIVE_SAN_BUILD_DIR:-$root/build-native-san}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DQEL_BUILD_TESTS="${QEL_BUILD_TESTS:-ON}" \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DQEL_SANITIZE=ON >/dev/null
else
  build=${QEL_NATIVE_BUILD_DIR:-$root/build-native}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DQEL_BUILD_TESTS="${QEL_BUILD_TESTS:-ON}" >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"
