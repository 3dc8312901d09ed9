#!/bin/sh
# A benchmark program that prints what it is told: fbbench runs it, under the
# name of a real program, to see how it takes a report no real program gives.
#   STAND_IN_REPORT   the report, with printf's backslash escapes
#   STAND_IN_ERROR    a line for standard error
#   STAND_IN_STATUS   the exit status (0)
printf '%b' "$STAND_IN_REPORT"
[ -z "$STAND_IN_ERROR" ] || printf '%s\n' "$STAND_IN_ERROR" >&2
exit "${STAND_IN_STATUS:-0}"
