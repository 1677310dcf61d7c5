#!/usr/bin/env bash
# Runs CI's checks as one graph of make targets, several at a time, with a
# timing line for each stage and a summary at the end; every stage whose
# prerequisites passed runs even after another has failed, and the exit status
# says whether all passed.
#   scripts/stages.sh JOBS TARGET      make -k -jJOBS TARGET, each target's output
#                                      printed whole when it ends
#   scripts/stages.sh stage NAME CMD...
#                                      (in a recipe) runs CMD as the stage NAME:
#                                      its wall and CPU time, ok or FAILED
# Wall time says little of a stage that shares the cores with others; CPU
# time says what it costs.
set -uo pipefail
. "$(dirname "$0")/cpu-time.sh"

if [ "${1:-}" = stage ]; then
  name="$2"
  shift 2
  t0=$(date +%s)
  cpu_now
  c0=$cpu
  status=ok
  "$@" || status=FAILED
  cpu_since "$c0"
  line="$name: $status ($(($(date +%s) - t0))s, CPU ${cpu_used}s)"
  [ -n "${STAGES_SUMMARY:-}" ] && echo "$line" >>"$STAGES_SUMMARY"
  if [ "$status" = ok ]; then
    echo "== stage $line"
  else
    echo "== stage $line" >&2
    exit 1
  fi
  exit 0
fi

jobs="$1"
target="$2"
start=$(date +%s)
STAGES_SUMMARY="$(mktemp)"
export STAGES_SUMMARY
trap 'rm -f "$STAGES_SUMMARY"' EXIT
cpu_now
c0=$cpu
${MAKE:-make} --no-print-directory -k -j"$jobs" --output-sync=target "$target"
status=$?
cpu_since "$c0"
echo "== stages, in the order they ended:"
sed 's/^/   /' "$STAGES_SUMMARY"
echo "== all stages: $(($(date +%s) - start))s, CPU ${cpu_used}s"
if [ "$status" -ne 0 ]; then
  failed="$(grep -c ': FAILED' "$STAGES_SUMMARY")"
  echo "== failed: $failed stage(s) above, and those that needed them did not run" >&2
  exit 1
fi
