#!/usr/bin/env bash
# Runs a Windows program under Wine as the shell tests run a program here: its status kept,
# its line ends as this machine's (its output is passed on once it has ended).
program=$1
shift
out=$(mktemp)
err=$(mktemp)
wine "$program" "$@" >"$out" 2>"$err"
status=$?
tr -d '\r' <"$out"
tr -d '\r' <"$err" >&2
rm -f "$out" "$err"
exit $status
