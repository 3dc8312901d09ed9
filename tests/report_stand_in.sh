#!/bin/sh
# A benchmark program that prints what it is told: fbbench runs it, under the
# name of a real program, to see how it takes a report no real program gives.
#   STAND_IN_REPORT   the report, with printf's backslash escapes; several
#                     separated by | are printed in turn, run after run
#   STAND_IN_REPORT_MEMORY, STAND_IN_REPORT_DISPLAY
#                     the same for RAM runs (FBBENCH_TARGET=memory) and
#                     display runs (FBBENCH_SYNC=frame), taken in turn apart
#   STAND_IN_COUNTER  the file that counts the runs, for those turns
#   STAND_IN_ERROR    a line for standard error
#   STAND_IN_STATUS   the exit status (0)
report=$STAND_IN_REPORT
counter=${STAND_IN_COUNTER:-}
if [ "${FBBENCH_TARGET:-}" = memory ] && [ -n "${STAND_IN_REPORT_MEMORY:-}" ]; then
  report=$STAND_IN_REPORT_MEMORY
  counter=${counter:+$counter.memory}
elif [ "${FBBENCH_SYNC:-}" = frame ] && [ -n "${STAND_IN_REPORT_DISPLAY:-}" ]; then
  report=$STAND_IN_REPORT_DISPLAY
  counter=${counter:+$counter.display}
fi
if [ -n "$counter" ] && [ -n "$report" ]; then
  n=$(cat "$counter" 2>/dev/null || echo 0)
  echo $((n + 1)) >"$counter"
  set -f
  IFS='|'
  set -- $report
  shift $((n % $#))
  report=$1
fi
printf '%b' "$report"
[ -z "${STAND_IN_ERROR:-}" ] || printf '%s\n' "$STAND_IN_ERROR" >&2
exit "${STAND_IN_STATUS:-0}"
