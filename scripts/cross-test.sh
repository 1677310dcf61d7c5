#!/usr/bin/env bash
# Builds the core and its C++ tests for another architecture with Debian's
# cross compiler and runs them under qemu-user.
#
#   scripts/cross-test.sh aarch64 [gtest filter]      default filter: every test
#
# Installs what is missing (as root, through apt): the cross compiler, qemu-user
# and GoogleTest's sources, which are built here with the cross compiler (the
# system's libgtest is for the host). Everything goes under build/cross-ARCH/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch="${1:-}"
filter="${2:-*}"
case "$arch" in
  aarch64) triple=aarch64-linux-gnu; emulator=qemu-aarch64; packages="g++-aarch64-linux-gnu qemu-user googletest" ;;
  *) echo "usage: $0 aarch64 [gtest filter]" >&2; exit 2 ;;
esac

if ! command -v "$triple-g++" >/dev/null || ! command -v "$emulator" >/dev/null || [ ! -d /usr/src/googletest ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing: $packages (as root: apt-get install -y $packages)" >&2
    exit 1
  fi
  # make test runs other stages beside this one: wait for their apt runs.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq $packages >/dev/null
fi

work="$root/build/cross-$arch"
toolchain="$root/cmake/$triple.cmake"

# Everything at -O1 without debug information: under emulation the tests run
# about as fast as at -O2, and the build takes half the time of -O2 -g.
release=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG")

# GoogleTest for the target, once.
if [ ! -f "$work/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    "${release[@]}" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$work/gtest" -Wno-dev >/dev/null 2>&1
  cmake --build "$work/gtest-build" >/dev/null
  cmake --install "$work/gtest-build" >/dev/null
fi

cmake -S "$root" -B "$work/core" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${release[@]}" \
  -DKESTRIX_TESTS=ON -DGTest_DIR="$work/gtest/lib/cmake/GTest" >/dev/null
cmake --build "$work/core" --target kestrix_core_tests
"$emulator" -L "/usr/$triple" "$work/core/kestrix_core_tests" --gtest_brief=1 --gtest_filter="$filter"
