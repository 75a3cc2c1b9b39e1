#!/usr/bin/env bash
# demo_test.sh SOURCE_DIR
# Runs scripts/demo and holds what it shows a person against what happened: the command
# line it shows is the one cmd ran (the built command, the demo's hardware ID and the
# sample INF, by their full Windows paths), with its line and exit status right after
# it, and the same device before (no driver) and after (the sample's driver and marker).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: demo_test.sh SOURCE_DIR" >&2; exit 2; }
source_dir=$(realpath "$1")
windows_path() { realpath "$1" | sed 's|^|Z:|; s|/|\\|g'; }

failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
status=0
output=$("$source_dir/scripts/demo" 2>&1) || status=$?
check "the demo runs to its end" test "$status" -eq 0
# The lines of the block after the line LABEL, up to the next empty line.
block() { awk -v label="$1" '$0 == label { inside = 1; next } inside && $0 == "" { exit } inside' <<<"$output"; }
value() { block "$1" | sed -n "s/^ *$2: *//p"; }

session=$(awk '/^C:\\> / { inside = 1 } inside && $0 == "" { exit } inside' <<<"$output")
command="\"$(windows_path "$source_dir/build/pnpinstall/pnpinstall.exe")\" ROOT\\PNPDEMO \"$(windows_path "$source_dir/sample/pnpdemo.inf")\""
check "cmd shows the command it runs, its line and its exit status" \
    test "$session" = "C:\\> $command"$'\n'"success"$'\n'"exit status (%ERRORLEVEL%): 0"
check "one device, shown before and after" test -n "$(value Before: 'instance ID')" -a \
    "$(value Before: 'instance ID')" = "$(value After: 'instance ID')"
check "before: no driver" test "$(value Before: description)|$(value Before: 'driver key')|$(value Before: marker)" = \
    "(none)|(none)|(none)"
check "after: the sample's device description" test "$(value After: description)" = "pnpinstall demo device"
check "after: a driver key" test -n "$(value After: 'driver key')" -a "$(value After: 'driver key')" != "(none)"
check "after: the marker the sample INF writes for x86-64" test "$(value After: marker)" = \
    "$(sed -n 's/^MarkerNTamd64 *= *"\(.*\)"/\1/p' "$source_dir/sample/pnpdemo.inf")"
[ "$failures" -eq 0 ] || { echo "the demo showed:"; sed 's/^/  | /' <<<"$output"; exit 1; }
