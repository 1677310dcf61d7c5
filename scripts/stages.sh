#!/usr/bin/env bash
# Runs make targets one after another as the stages of a check, with a timing
# line for each and a summary at the end; every stage runs even after one has
# failed, and the exit status says whether all passed.
#   scripts/stages.sh TARGET...        (MAKE and MAKEFLAGS come from make)
set -uo pipefail
start=$(date +%s)
failed=()
for target in "$@"; do
  t0=$(date +%s)
  if ${MAKE:-make} --no-print-directory "$target"; then
    echo "== stage $target: ok ($(( $(date +%s) - t0 ))s)"
  else
    echo "== stage $target: FAILED ($(( $(date +%s) - t0 ))s)" >&2
    failed+=("$target")
  fi
done
echo "== all stages: $(( $(date +%s) - start ))s"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "== failed: ${failed[*]}" >&2
  exit 1
fi
