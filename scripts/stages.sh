#!/usr/bin/env bash
# Runs CI's checks as one graph of make targets, several at a time, with a
# timing line for each stage and a summary at the end; every stage whose
# prerequisites passed runs even after another has failed, and the exit status
# says whether all passed.
#   scripts/stages.sh JOBS NAME:NEEDS...
#                                      runs make ci-NAME for each, JOBS at a time,
#                                      each once the jobs named in NEEDS (a comma
#                                      list) have passed
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
  # In a graph: when it started, counted from the graph's start.
  [ -n "${STAGES_START:-}" ] && line="$line from +$((t0 - STAGES_START))s"
  [ -n "${STAGES_SUMMARY:-}" ] && echo "$line" >>"$STAGES_SUMMARY"
  if [ "$status" = ok ]; then
    echo "== stage $line"
  else
    echo "== stage $line" >&2
    exit 1
  fi
  exit 0
fi

# The graph: JOBS at a time; whenever a place is free, the first job of the
# list whose prerequisites have passed starts (so the list is the priority).
# A job whose prerequisite failed is skipped. Each job's output is printed
# whole when it ends.
jobs="$1"
shift
start=$(date +%s)
logs="$(mktemp -d)"
STAGES_SUMMARY="$logs/summary"
STAGES_START=$start
export STAGES_SUMMARY STAGES_START
trap 'rm -rf "$logs"' EXIT
touch "$STAGES_SUMMARY"
order=()
declare -A needs state
for job in "$@"; do
  name="${job%%:*}"
  order+=("$name")
  needs[$name]="${job#*:}"
  state[$name]=waiting
done
cpu_now
c0=$cpu
running=0
while :; do
  for name in "${order[@]}"; do
    [ "${state[$name]}" = waiting ] || continue
    ready=1
    for need in ${needs[$name]//,/ }; do
      case "${state[$need]}" in
        ok) ;;
        failed | skipped) ready=skipped ;;
        *) [ "$ready" = skipped ] || ready=0 ;;
      esac
    done
    if [ "$ready" = skipped ]; then
      state[$name]=skipped
      echo "   $name: skipped (a prerequisite failed)" >>"$STAGES_SUMMARY"
    elif [ "$ready" = 1 ] && [ "$running" -lt "$jobs" ]; then
      state[$name]=running
      running=$((running + 1))
      (
        ${MAKE:-make} --no-print-directory "ci-$name" >"$logs/$name.log" 2>&1
        echo $? >"$logs/$name.status"
      ) &
    fi
  done
  [ "$running" -gt 0 ] || break
  wait -n || true
  for name in "${order[@]}"; do
    if [ "${state[$name]}" = running ] && [ -f "$logs/$name.status" ]; then
      if [ "$(cat "$logs/$name.status")" = 0 ]; then state[$name]=ok; else state[$name]=failed; fi
      running=$((running - 1))
      cat "$logs/$name.log"
    fi
  done
done
cpu_since "$c0"
echo "== stages, in the order they ended:"
sed 's/^\([^ ]\)/   \1/' "$STAGES_SUMMARY"
echo "== all stages: $(($(date +%s) - start))s, CPU ${cpu_used}s"
for name in "${order[@]}"; do
  if [ "${state[$name]}" != ok ]; then
    echo "== failed: not every stage passed" >&2
    exit 1
  fi
done
