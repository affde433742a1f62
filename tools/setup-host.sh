#!/usr/bin/env bash
# Installs what the build and the test guest need, from Debian's packages, when missing.
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have i686-w64-mingw32-gcc-posix || need+=(gcc-mingw-w64-i686-posix)
have i686-w64-mingw32-objdump || need+=(binutils-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-gcc-posix || need+=(gcc-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-objdump || need+=(binutils-mingw-w64-x86-64)
have g++ || need+=(g++)
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
# The sanitizer build and the fuzz targets: clang 14 with its sanitizer and libFuzzer runtimes.
have clang++-14 || need+=(clang-14)
compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  need+=(libclang-rt-14-dev)
[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] || need+=(llvm-14)
have qemu-system-x86_64 || need+=(qemu-system-x86)
have qemu-img || need+=(qemu-utils)
have debootstrap || need+=(debootstrap)
have mkfs.ext4 || need+=(e2fsprogs)
# The hook-list generator parses the mingw-w64 headers with libclang from Debian's Python.
[ -f /usr/lib/python3/dist-packages/clang/cindex.py ] || need+=(python3-clang-14)
compgen -G "/usr/lib/llvm-14/lib/clang/*/include/stddef.h" >/dev/null || need+=(libclang-common-14-dev)
# The report page is tested in a headless browser; the benchmarks measure peak memory.
have chromium || need+=(chromium)
[ -x /usr/bin/time ] || need+=(time)
have zip || need+=(zip)
have unzip || need+=(unzip)
[ -f /usr/src/googletest/googletest/src/gtest-all.cc ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
