#!/usr/bin/env bash
# Fuzzes the extension with atheris (libFuzzer for Python), in two phases:
#  1. guided: libFuzzer mutates against the plain build of the extension and
#     keeps every input that reaches new code of the targets in the corpus;
#  2. sanitized: the whole corpus (seeds included) is replayed, and then fuzzed
#     again for a share of the time, with AddressSanitizer and
#     UndefinedBehaviorSanitizer loaded.
# Two phases because the preloaded gcc sanitizer runtime takes over the
# coverage callbacks atheris registers: under it libFuzzer sees no coverage
# and mutates blind.
#
#   scripts/fuzz.sh [deserialize|api|all] [SECONDS]      default: all 60
# SECONDS is per target and split 2:1 between the guided and sanitized phases.
#
# Targets live in fuzz/: fuzz_deserialize.py (the byte-form reader) and
# fuzz_api.py (whole call sequences with odd arguments and re-entrant
# callbacks). Seeds come from fuzz/make_corpus.py; the growing corpus is kept in
# build/fuzz/corpus/<target> between runs. A finding is written to
# build/fuzz/artifacts/<target>/crash-* (or timeout-*, oom-*) and makes this
# script exit non-zero; replay one with
#   scripts/fuzz.sh replay <target> <file>
# Every finding becomes a test in tests/python before it is fixed.
#
# CI reuses what it has built already: FUZZ_PYTHON names an interpreter whose
# environment has the package installed (its plain build serves the guided
# phase) and FUZZ_ASAN_BUILD the sanitized build folder of scripts/sanitize.sh,
# used with the options it was built with.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
work="$root/build/fuzz"
python="${PYTHON:-python3}"
vpython="${FUZZ_PYTHON:-$work/venv/bin/python}"
asan_build="${FUZZ_ASAN_BUILD:-$work/asan}"

setup() {
  if [ ! -x "$vpython" ]; then
    "$python" -m venv "$work/venv"
  fi
  "$vpython" -c "import atheris" 2>/dev/null || "$vpython" -m pip install --quiet atheris
  if [ "${SANITIZE_PREBUILT:-0}" = 1 ] && [ -d "$asan_build/pkg" ]; then
    :  # used as built (make test builds it once for every job that runs it)
  elif [ -n "${FUZZ_ASAN_BUILD:-}" ] && [ -f "$asan_build/CMakeCache.txt" ]; then
    # Brought up to date as it was configured: new options would rebuild it all.
    PYTHON="$vpython" scripts/dev-build.sh "$asan_build" >/dev/null
  else
    PYTHON="$vpython" scripts/dev-build.sh "$asan_build" -DKESTRIX_SANITIZE=ON \
      -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_WERROR=OFF >/dev/null
  fi
  if [ -n "${FUZZ_PYTHON:-}" ]; then
    plain_pkg=""  # the package installed in FUZZ_PYTHON's environment
  else
    plain_pkg="$(PYTHON="$vpython" scripts/dev-build.sh "$work/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKESTRIX_WERROR=OFF)"
  fi
  rm -rf "$work/seeds"
  "$vpython" fuzz/make_corpus.py "$work/seeds" >/dev/null
}

# The interpreter is not instrumented: the sanitizer runtimes are preloaded,
# and PYTHONMALLOC=malloc routes Python's own objects through them too, so a
# reference-count slip in the binding shows up as a use-after-free.
sanitized() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:symbolize=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  PYTHONMALLOC=malloc PYTHONPATH="$asan_build/pkg" "$@"
}

fuzz_once() {  # fuzz_once LOGNAME SECONDS [sanitized] -- runs one libFuzzer session
  local target="$1" log="$2" seconds="$3" wrapper="${4:-}" pkg="$plain_pkg"
  [ -n "$wrapper" ] && pkg="$asan_build/pkg"
  local status=0
  PYTHONPATH="$pkg" $wrapper "$vpython" "fuzz/fuzz_$target.py" \
    "$work/corpus/$target" "$work/seeds/$target" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=6144 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target/" >"$log" 2>&1 || status=$?
  echo "  $(basename "$log"): $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') executions," \
    "corpus $(ls "$work/corpus/$target" | wc -l) inputs"
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FAILED (exit $status); tail of $log:" >&2
    tail -40 "$log" >&2
  fi
  return "$status"
}

run_target() {
  local target="$1" seconds="$2"
  mkdir -p "$work/corpus/$target" "$work/artifacts/$target"
  local guided=$((seconds * 2 / 3)) rest=$((seconds - seconds * 2 / 3))
  echo "fuzz $target: ${guided}s guided + ${rest}s sanitized (logs in $work/$target-*.log)"
  fuzz_once "$target" "$work/$target-guided.log" "$guided" || return 1
  # -runs=0 replays every corpus and seed input once under the sanitizers.
  sanitized "$vpython" "fuzz/fuzz_$target.py" \
    "$work/corpus/$target" "$work/seeds/$target" -runs=0 -timeout=60 \
    >"$work/$target-replay.log" 2>&1 || { echo "replay under sanitizers FAILED" >&2; tail -40 "$work/$target-replay.log" >&2; return 1; }
  echo "  replayed $(ls "$work/corpus/$target" "$work/seeds/$target" | wc -l) inputs under the sanitizers"
  fuzz_once "$target" "$work/$target-sanitized.log" "$rest" sanitized
}

what="${1:-all}"
seconds="${2:-60}"
setup
case "$what" in
  replay)
    sanitized "$vpython" "fuzz/fuzz_$2.py" "$3"
    ;;
  deserialize | api)
    run_target "$what" "$seconds"
    ;;
  all)
    failed=0
    run_target deserialize "$seconds" || failed=1
    run_target api "$seconds" || failed=1
    exit "$failed"
    ;;
  *)
    echo "usage: $0 [deserialize|api|all] [SECONDS] | replay TARGET FILE" >&2
    exit 2
    ;;
esac
