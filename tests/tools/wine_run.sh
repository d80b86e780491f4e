#!/usr/bin/env bash
# Runs a Windows program under Wine as the shell tests run a program here: its status kept,
# its line ends as this machine's.
set -o pipefail
program=$1
shift
wine "$program" "$@" 2> >(tr -d '\r' >&2) | tr -d '\r'
