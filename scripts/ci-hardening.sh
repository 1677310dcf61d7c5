#!/usr/bin/env bash
# The hardening checks, all of them or some (make test runs them as separate
# jobs of its graph, on one AddressSanitizer build; make test-hardening runs
# all of them here):
#   1. asan: the C++ unit tests, and the native fuzz targets over their kept
#      and generated inputs, under AddressSanitizer + UBSan;
#   2. tsan: the threaded C++ tests (lock, pool, collection, log) under ThreadSanitizer;
#   3. python: the Python suite against the extension built with ASan + UBSan;
#   4. fuzz: a short run of each Python fuzz target, on that sanitized build;
#   5. native-fuzz: a short run of each native libFuzzer target (clang, core
#      instrumented).
# HARDENING_PYTHON names an interpreter whose environment already has the test
# tools (make test-hardening passes its venv's), so no second venv is installed.
# Installs what it needs (GoogleTest, valgrind-free) and builds under build/;
# exits non-zero on the first failing stage's report, after running them all.
#   scripts/ci-hardening.sh [PART...]   PART: asan tsan python fuzz native-fuzz
#                                       (1 to 5 above; default all, in that order);
#                                       FUZZ_SECONDS (default 10) per fuzz target,
#                                       NATIVE_FUZZ_SECONDS (default 3) per native one
# The python part reuses the sanitized core that the asan part built, and the
# fuzz part the python part's build.
set -uo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
failed=()
. scripts/cpu-time.sh
# stage NAME COMMAND...: timed (wall and CPU) as every stage of make test is;
# a failure is counted and the next part runs. Not a line of make test's own
# summary when make test runs this script as one of its jobs.
stage() {
  STAGES_SUMMARY='' STAGES_START='' scripts/stages.sh stage "$@" || failed+=("$1")
}
if ! command -v g++ >/dev/null || ! command -v cmake >/dev/null; then
  echo "ci-hardening: g++ and cmake are required" >&2
  exit 1
fi
if [ -n "${HARDENING_PYTHON:-}" ]; then
  # The fuzz targets' sanitized phase runs on the build the sanitized suite made.
  export SANITIZE_PYTHON="$HARDENING_PYTHON" FUZZ_PYTHON="$HARDENING_PYTHON" FUZZ_ASAN_BUILD="$PWD/build/sanitize/asan"
fi
# Each part on its own, for make test to run some side by side; all of them,
# in this order, by default.
parts=("$@")
[ "${#parts[@]}" -gt 0 ] || parts=(asan tsan python fuzz native-fuzz)
for part in "${parts[@]}"; do
  case "$part" in
    asan) stage "C++ tests and native fuzz inputs under sanitizers" scripts/sanitize.sh core ;;
    tsan) stage "C++ threaded tests under ThreadSanitizer" scripts/sanitize.sh tsan ;;
    # Without the Ray tests: Ray's workers inherit the preloaded ASan runtime,
    # and Ray's own process-title code (its native setproctitle) then reads
    # freed memory now and then, so a worker dies and the test waits for it
    # forever. The Ray layer is pure Python over Collection, which the rest of
    # the suite covers under the sanitizers; the plain suite runs the Ray tests.
    # The typing tests run mypy in subprocesses; they check the stubs, not
    # memory, and the plain suite runs them; so do the tests marked plain_only
    # (processes killed over and over to see what their files hold). The
    # command line's tests are left to it too: they start a Python process per
    # case (a quarter of this run's time) to drive readers the other tests
    # call in-process.
    python)
      stage "Python suite under sanitizers" scripts/sanitize.sh python -m "not ray and not plain_only" \
        --ignore=python/test_typing.py --ignore=python/test_cli.py
      ;;
    fuzz) stage "fuzz smoke" scripts/fuzz.sh all "${FUZZ_SECONDS:-10}" ;;
    native-fuzz) stage "native fuzz smoke" scripts/fuzz-native.sh all "${NATIVE_FUZZ_SECONDS:-3}" ;;
    *)
      echo "usage: $0 [asan|tsan|python|fuzz|native-fuzz]..." >&2
      exit 2
      ;;
  esac
done
cpu_since 0
echo "ci-hardening: $(( $(date +%s) - start ))s, CPU ${cpu_used}s"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "ci-hardening: failed: ${failed[*]}" >&2
  exit 1
fi
