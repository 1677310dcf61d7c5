#!/usr/bin/env bash
# Builds the core for another system with Debian's cross compilers, and runs
# its unit tests there when this machine can run its programs.
#
#   scripts/cross-build.sh windows     64-bit Windows (mingw-w64); the tests
#                                      run under wine when wine is installed
#                                      or installable here, otherwise only
#                                      the build is checked
#   CROSS_TESTS=no scripts/cross-build.sh windows
#                                      the core library alone is compiled
#
# Installs what it needs through apt when running as root (mingw-w64, the
# GoogleTest sources, wine). Builds under build/cross-TARGET.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

apt_install() {  # apt_install PACKAGE... -- quietly, as root only
  if [ "$(id -u)" -ne 0 ]; then
    echo "cross-build: missing $* (as root: apt-get install -y $*)" >&2
    return 1
  fi
  # make test runs other stages beside this one: wait for their apt runs.
  [ -n "${apt_updated:-}" ] || { apt-get -o DPkg::Lock::Timeout=600 update -qq && apt_updated=1; }
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@" \
    >/dev/null
}

windows() {
  local build="$root/build/cross-windows"
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || apt_install g++-mingw-w64-x86-64-posix
  if [ "${CROSS_TESTS:-yes}" = no ]; then
    # Only whether it compiles (warnings are errors) is checked: -O1 keeps the
    # warnings that need an optimiser's analysis at two thirds of -O3's time.
    cmake -S . -B "$build" -G Ninja --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
      "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" >/dev/null
    cmake --build "$build" --target kestrix_core
    echo "cross-build windows: built $(cd "$build" && ls libkestrix_core.a) (tests not built)"
    return 0
  fi
  [ -f /usr/src/googletest/CMakeLists.txt ] || apt_install googletest
  # 64-bit programs need wine's 64-bit loader only; Debian's wine package
  # asks for the 32-bit one too, which needs i386 multiarch: not worth it.
  local wine=""
  if ! command -v wine >/dev/null; then
    apt_install wine wine64 || echo "cross-build: wine is not installable here: the tests will not run" >&2
  fi
  command -v wine >/dev/null && wine="$(command -v wine)"
  local emulator=()
  [ -n "$wine" ] && emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$wine")
  cmake -S . -B "$build" -G Ninja --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKESTRIX_TESTS=ON -DKESTRIX_GTEST_SOURCE=/usr/src/googletest "${emulator[@]}" >/dev/null
  cmake --build "$build"
  echo "cross-build windows: built $(cd "$build" && ls libkestrix_core.a kestrix_core_tests.exe | tr '\n' ' ')"
  if [ -z "$wine" ]; then
    echo "cross-build windows: tests not run (no wine)"
    return 0
  fi
  # The programs link the C++ runtime of the cross compiler dynamically: wine
  # finds its DLLs through WINEPATH. A private prefix keeps the user's alone.
  local runtime
  runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
  WINEPREFIX="$build/wine" WINEDEBUG=-all WINEPATH="$runtime;/usr/x86_64-w64-mingw32/lib" \
    ctest --test-dir "$build" --output-on-failure
}

case "${1:-}" in
  windows) windows ;;
  *)
    echo "usage: $0 windows" >&2
    exit 2
    ;;
esac
