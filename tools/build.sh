#!/usr/bin/env bash
# Cross-builds the DLL, the demo host and (unless QEL_BUILD_TESTS=OFF) the test programs,
# for each processor of QEL_PROCESSORS (default "x86 x64"): x86 into build/ (binaries in
# build/bin/), x64 into build/x64/ (binaries in build/bin/x64/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
"$root/tools/setup-host.sh"
for processor in ${QEL_PROCESSORS:-x86 x64}; do
  case $processor in
    x86) tree=$build toolchain=mingw-i686 bin=$build/bin ;;
    x64) tree=$build/x64 toolchain=mingw-x86_64 bin=$build/bin/x64 ;;
    *) echo "build.sh: no processor $processor" >&2; exit 2 ;;
  esac
  cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE= -DQEL_BIN_DIR="$bin" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" -DQEL_BUILD_TESTS="${QEL_BUILD_TESTS:-ON}" >/dev/null
  # QEL_TARGETS limits the build to some targets (the runner passes the programs it runs);
  # a target that one processor lacks (a test of the other's own) is left out there.
  targets=()
  if [ -n "${QEL_TARGETS:-}" ]; then
    known=$(ninja -C "$tree" -t targets all | cut -d: -f1)
    for target in Qelvorn demo_host $QEL_TARGETS; do
      grep -qx "$target" <<<"$known" && targets+=("$target")
    done
  fi
  cmake --build "$tree" ${targets[@]:+--target "${targets[@]}"} -- -j"$(nproc)"
done
