#!/usr/bin/env bash
# Runs the tests with the memory checkers.
#
#   scripts/sanitize.sh [all|core|tsan|python|valgrind|build-python|build-core] [pytest args...]     default: all
#
#   build-python, build-core
#             the parts of the AddressSanitizer build that python and core run
#             (each builds its own unless SANITIZE_PREBUILT=1)
#   core      the C++ unit tests, built with AddressSanitizer + UBSan, and the
#             native fuzz targets over their kept corpus and generated seeds
#   python    the whole Python suite (tests/python) against the extension built
#             with AddressSanitizer + UBSan; the interpreter itself is not
#             instrumented, so the runtimes are preloaded and PYTHONMALLOC=malloc
#             sends Python's objects through ASan's allocator as well; property
#             tests run a fifth of their examples (the hypothesis profile
#             "sanitizers" of tests/python/conftest.py)
#   tsan      the C++ tests of what threads share (the readers-writer lock, the
#             thread pool, the collection searched while it changes, plain and
#             durable, the query scratch, the log's group commit and its forked
#             child), built with ThreadSanitizer
#   valgrind  memcheck over the leak workload of tests/python/test_leaks.py on
#             the plain build; fails on any definite loss or memory error whose
#             stack passes through the extension
#   all       core, then python (valgrind is slow and runs only when asked)
#
# Everything is built under build/sanitize/ and the Python tools go into a venv
# there; GoogleTest, valgrind and a compiler come from the system (installed
# through apt when missing and running as root).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
work="$root/build/sanitize"
python="${PYTHON:-python3}"
what="${1:-all}"
shift || true

asan_runtime() {
  echo "$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
}
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# SANITIZE_PYTHON: an interpreter whose environment has the test tools already
# (ci-hardening passes make test's venv); otherwise a venv of our own.
venv() {
  if [ -n "${SANITIZE_PYTHON:-}" ]; then
    vpython="$SANITIZE_PYTHON"
    return
  fi
  vpython="$work/venv/bin/python"
  if [ ! -x "$work/venv/bin/python" ]; then
    mkdir -p "$work"
    "$python" -m venv "$work/venv"
  fi
  # The test extra of the package, without installing the package itself: the
  # suite must import the sanitized build, not a wheel.
  "$vpython" scripts/extras.py test >"$work/requirements.txt"
  "$vpython" -m pip install --quiet -r "$work/requirements.txt"
}

# One sanitized build serves the C++ tests, the Python suite and the fuzz
# smoke, so the core is compiled once. -O1, as the sanitizers' authors advise:
# every check stays, and the tests run several times faster than at -O0 (the
# test programs too: at -O0 they take three times as long). The debug
# information is the line tables CMakeLists.txt gives every checked build.
ASAN_FLAGS=(-DKESTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1
  -DKESTRIX_WERROR=OFF)

# The native fuzz targets, each linked with a replay driver instead of
# libFuzzer: every kept and every generated input once.
fuzz_targets() { ls fuzz/native/fuzz_*.cpp | sed 's|.*/fuzz_||; s|\.cpp$||'; }

# SANITIZE_PREBUILT=1: core and python run what build-core and build-python
# made, building nothing (make test runs them side by side).
# Both parts configure the build alike, so that building one never rebuilds
# what the other built (make test runs the Python suite on the extension while
# the test programs compile). The test programs at -Og: they compile in half
# the time and run a third longer.
ASAN_CONFIG=(-DKESTRIX_TESTS=ON -DKESTRIX_TEST_OPTIONS=-Og "${ASAN_FLAGS[@]}")

build_core() {
  scripts/install-gtest.sh
  cmake -S . -B "$work/asan" -G Ninja "${ASAN_CONFIG[@]}" >/dev/null
  cmake --build "$work/asan" --target kestrix_core_tests $(fuzz_targets | sed 's/^/replay_/') >/dev/null
}

build_python() {
  scripts/install-gtest.sh
  venv
  pkg="$(PYTHON="$vpython" scripts/dev-build.sh "$work/asan" "${ASAN_CONFIG[@]}")"
}

run_core() {
  [ "${SANITIZE_PREBUILT:-0}" = 1 ] || build_core
  echo "== C++ tests under ASan+UBSan"
  "$work/asan/kestrix_core_tests" --gtest_brief=1
  echo "== native fuzz targets over their kept corpus and seeds, under ASan+UBSan"
  rm -rf "$work/seeds"
  "$python" fuzz/make_corpus.py "$work/seeds" >/dev/null
  local target dir inputs
  for target in $(fuzz_targets); do
    inputs=()
    for dir in "$work/seeds/$target" "fuzz/corpus/native-$target"; do
      [ -d "$dir" ] && inputs+=("$dir")
    done
    echo "$target: $("$work/asan/replay_$target" "${inputs[@]}")"
  done
}

# The tests whose threads share state: the collection's lock and pool, batch
# searches on several threads, the per-thread query scratch, writers waiting
# on the log's shared flush (and the log's own tests beside them, which take a
# second). The batch oracle
# (every thread count against single queries) is left out: it checks answers,
# its threads share what ReadersAndWriters already races, and it takes a minute
# under the sanitizer.
TSAN_TESTS="${TSAN_TESTS:-*-Collection.BatchRowsEqualSingleQueriesOnEveryThreadCountAndSplit}"

run_tsan() {
  scripts/install-gtest.sh
  # -O1 too, the lower of the two levels ThreadSanitizer's authors advise: it compiles faster.
  cmake -S . -B "$work/tsan" -G Ninja -DKESTRIX_TESTS=ON -DKESTRIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG" -DKESTRIX_WERROR=OFF >/dev/null
  cmake --build "$work/tsan" --target kestrix_thread_tests >/dev/null
  echo "== C++ tests under ThreadSanitizer ($TSAN_TESTS)"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$work/tsan/kestrix_thread_tests" --gtest_brief=1 \
    --gtest_filter="$TSAN_TESTS"
}

run_python() {
  venv
  if [ "${SANITIZE_PREBUILT:-0}" = 1 ]; then
    pkg="$work/asan/pkg"
  else
    build_python
  fi
  echo "== Python suite under ASan+UBSan"
  (cd tests && LD_PRELOAD="$(asan_runtime)" PYTHONMALLOC=malloc PYTHONPATH="$pkg" \
    KESTRIX_HYPOTHESIS_PROFILE=sanitizers "$vpython" -m pytest -q -p no:cacheprovider python "$@")
}

run_valgrind() {
  if ! command -v valgrind >/dev/null; then
    scripts/apt-install.sh valgrind
  fi
  venv
  local pkg log="$work/valgrind.log"
  pkg="$(PYTHON="$vpython" scripts/dev-build.sh "$work/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRIX_WERROR=OFF)"
  echo "== valgrind memcheck of the leak workload (log: $log)"
  PYTHONMALLOC=malloc PYTHONPATH="$pkg" valgrind --tool=memcheck --leak-check=full \
    --show-leak-kinds=definite,indirect --num-callers=40 --log-file="$log" \
    "$vpython" tests/python/test_leaks.py "${VALGRIND_CALLS:-6000}"
  sed -n '/LEAK SUMMARY/,/suppressed:/p;/ERROR SUMMARY/p' "$log" | sed 's/^==[0-9]*== //'
  # Records (leaks and errors alike) are blank-line separated; keep those with
  # a frame in the extension or its core.
  local ours
  ours="$(awk 'BEGIN { RS = "==[0-9]+== \n" } /_kestrix|kestrix::/ { print; n++ } END { exit 0 }' "$log")"
  if [ -n "$ours" ]; then
    echo "valgrind: records through the extension:" >&2
    echo "$ours" >&2
    return 1
  fi
  echo "valgrind: no definite loss and no memory error through the extension"
}

case "$what" in
  build-python) build_python ;;
  build-core) build_core ;;
  core) run_core ;;
  tsan) run_tsan ;;
  python) run_python "$@" ;;
  valgrind) run_valgrind ;;
  all)
    failed=0
    run_core || failed=1
    run_python "$@" || failed=1
    exit "$failed"
    ;;
  *)
    echo "usage: $0 [all|core|tsan|python|valgrind|build-python|build-core] [pytest args...]" >&2
    exit 2
    ;;
esac
