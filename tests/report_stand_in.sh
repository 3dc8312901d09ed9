#!/bin/sh
# A benchmark program that prints what it is told: fbbench runs it, under the
# name of a real program, to see how it takes a report no real program gives.
#   STAND_IN_REPORT   the report, with printf's backslash escapes; several
#                     separated by | are printed in turn, run after run
#   STAND_IN_COUNTER  the file that counts the runs, for those turns
#   STAND_IN_ERROR    a line for standard error
#   STAND_IN_STATUS   the exit status (0)
report=$STAND_IN_REPORT
if [ -n "${STAND_IN_COUNTER:-}" ] && [ -n "$report" ]; then
  n=$(cat "$STAND_IN_COUNTER" 2>/dev/null || echo 0)
  echo $((n + 1)) >"$STAND_IN_COUNTER"
  set -f
  IFS='|'
  set -- $STAND_IN_REPORT
  shift $((n % $#))
  report=$1
fi
printf '%b' "$report"
[ -z "${STAND_IN_ERROR:-}" ] || printf '%s\n' "$STAND_IN_ERROR" >&2
exit "${STAND_IN_STATUS:-0}"
