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

run() {  # run TARGET: one make target, timed
  local t0
  t0=$(date +%s)
  if ${MAKE:-make} --no-print-directory "$1"; then
    echo "== stage $1: ok ($(($(date +%s) - t0))s)"
  else
    echo "== stage $1: FAILED ($(($(date +%s) - t0))s)" >&2
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
echo "== all stages: $(($(date +%s) - start))s"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "== failed: ${failed[*]}" >&2
  exit 1
fi
