#!/usr/bin/env bash
# Runs make targets one after another as the stages of a check, with a timing
# line for each and a summary at the end; every stage runs even after one has
# failed, and the exit status says whether all passed.
#   scripts/stages.sh TARGET...        (MAKE and MAKEFLAGS come from make)
# A stage written A+B runs targets A and B side by side (for a stage that
# mostly waits on one core beside one that compiles); each one's output is
# printed whole when both have ended.
set -uo pipefail
start=$(date +%s)
failed=()
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

. "$(dirname "$0")/cpu-time.sh"

run() {  # run TARGET: one make target, timed (wall and CPU)
  local t0 c0 status=ok
  t0=$(date +%s)
  cpu_now
  c0=$cpu
  ${MAKE:-make} --no-print-directory "$1" || status=FAILED
  cpu_since "$c0"
  local line="== stage $1: $status ($(($(date +%s) - t0))s, CPU ${cpu_used}s)"
  if [ "$status" = ok ]; then
    echo "$line"
  else
    echo "$line" >&2
    return 1
  fi
}

for stage in "$@"; do
  IFS=+ read -r -a together <<<"$stage"
  if [ "${#together[@]}" -eq 1 ]; then
    run "$stage" || failed+=("$stage")
    continue
  fi
  pids=()
  for target in "${together[@]}"; do
    run "$target" >"$logs/$target.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!together[@]}"; do
    wait "${pids[$i]}" || failed+=("${together[$i]}")
    cat "$logs/${together[$i]}.log"
  done
done
cpu_since 0
echo "== all stages: $(($(date +%s) - start))s, CPU ${cpu_used}s"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "== failed: ${failed[*]}" >&2
  exit 1
fi
