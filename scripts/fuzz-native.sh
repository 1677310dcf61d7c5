#!/usr/bin/env bash
# Coverage-guided fuzzing of the native readers with clang's libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, the core itself instrumented
# (the atheris targets of scripts/fuzz.sh see the Python side only).
#
#   scripts/fuzz-native.sh [all|TARGET...] [SECONDS] [--keep]
#     SECONDS per target (default 20). --keep merges the inputs that reached
#     new code into the kept corpus (fuzz/corpus/native-TARGET), for a commit.
#   scripts/fuzz-native.sh replay TARGET FILE...
#
# Targets are the files fuzz/native/fuzz_TARGET.cpp, each built by CMake with
# -DKESTRIX_FUZZ=ON; a new reader gets its target by adding its file there
# and, if it wants seeds, a folder of them from fuzz/make_corpus.py. Each run
# starts from the kept corpus and the generated seeds; new inputs go to
# build/fuzz-native/corpus/TARGET. A finding is written to
# build/fuzz-native/artifacts/TARGET/ and makes this script exit non-zero.
# Needs clang 16 or later with its runtime (Debian: clang-16 and
# libclang-rt-16-dev), and installs them when run as root without them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
work="$root/build/fuzz-native"

find_clang() {
  local c major
  for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16; do
    command -v "$c" >/dev/null || continue
    major="$("$c" -dumpversion | cut -d. -f1)"
    [ "$major" -ge 16 ] || continue
    # The libFuzzer runtime ships separately from the compiler on Debian.
    [ -f "$("$c" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ] || \
      [ -f "$("$c" -print-resource-dir)/lib/x86_64-unknown-linux-gnu/libclang_rt.fuzzer.a" ] || continue
    echo "$c"
    return 0
  done
  return 1
}

setup() {
  if ! clang="$(find_clang)"; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "fuzz-native: needs clang >= 16 with libFuzzer (as root: apt-get install -y clang-16 libclang-rt-16-dev)" >&2
      exit 1
    fi
    scripts/apt-install.sh clang-16 libclang-rt-16-dev
    clang="$(find_clang)"
  fi
  # -O1: every check and the coverage stay, at a quarter less compile time
  # than -O2 (the line tables come from CMakeLists.txt).
  cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$clang" -DKESTRIX_FUZZ=ON \
    -DKESTRIX_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG" >/dev/null
  cmake --build "$work/build" -j2 --target $(targets_of all | sed 's/^/fuzz_/') >/dev/null
  rm -rf "$work/seeds"
  python3 fuzz/make_corpus.py "$work/seeds" >/dev/null
}

targets_of() {
  if [ "$1" = all ]; then
    ls fuzz/native/fuzz_*.cpp | sed 's|.*/fuzz_||; s|\.cpp$||'
  else
    echo "$1"
  fi
}

run_target() {
  local target="$1" seconds="$2" kept="fuzz/corpus/native-$1" log="$work/$1.log" status=0
  local scratch="$work/corpus/$target" artifacts="$work/artifacts/$target"
  mkdir -p "$kept" "$scratch" "$artifacts"
  local dirs=("$scratch" "$kept")
  [ -d "$work/seeds/$target" ] && dirs+=("$work/seeds/$target")
  "$work/build/fuzz_$target" "${dirs[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  # The last status line carries the coverage: cov (edges) and ft (features).
  local line execs
  line="$(grep -E '^#[0-9]+' "$log" | tail -1 || true)"
  execs="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)"
  echo "fuzz $target: ${seconds}s, ${execs:-?} executions, $(echo "$line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || echo 'no status')"
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FAILED (exit $status); findings in $artifacts; tail of $log:" >&2
    tail -30 "$log" >&2
    return "$status"
  fi
  if [ "$keep" = 1 ]; then
    # Only what reaches code the kept corpus does not already reach is added.
    "$work/build/fuzz_$target" -merge=1 "$kept" "${dirs[@]:0:1}" "${dirs[@]:2}" >"$work/$target-merge.log" 2>&1
    echo "  kept corpus: $(ls "$kept" | wc -l) inputs in $kept"
  fi
}

keep=0
args=()
for a in "$@"; do
  if [ "$a" = --keep ]; then keep=1; else args+=("$a"); fi
done
set -- "${args[@]+"${args[@]}"}"

if [ "${1:-}" = replay ]; then
  [ $# -ge 3 ] || { echo "usage: $0 replay TARGET FILE..." >&2; exit 2; }
  setup
  target="$2"
  shift 2
  exec "$work/build/fuzz_$target" "$@"
fi

what="${1:-all}"
seconds="${2:-20}"
case "$what" in
  all) ;;
  *) [ -f "fuzz/native/fuzz_$what.cpp" ] || { echo "usage: $0 [all|TARGET] [SECONDS] [--keep] | replay TARGET FILE..." >&2; exit 2; } ;;
esac
setup
failed=0
for target in $(targets_of "$what"); do
  run_target "$target" "$seconds" || failed=1
done
exit "$failed"
