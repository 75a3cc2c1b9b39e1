#!/usr/bin/env bash
# readme_outcomes_test.sh README PNPINSTALL_EXE STANDIN_DLL WINE_PREFIX
# Holds the README's table of outputs and exit statuses against the built command: each
# outcome is brought about with the command beside the stand-in installer, run from
# Wine's cmd, and the line it prints and the full status it leaves must be the row's.
# The lines that the command makes up itself must have their rows in the error table.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: readme_outcomes_test.sh README PNPINSTALL_EXE STANDIN_DLL WINE_PREFIX" >&2; exit 2; }
readme=$1 exe=$2 standin=$3 prefix=$(realpath -m "$4")
wine_run=$(realpath "$(dirname "$0")/../../scripts/wine-run")

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-outcomes.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/pnpinstall.exe"
cp "$standin" "$work/newdev.dll"

# The rows of the table under a "## " heading, one per line, cells separated by "|".
table() { awk -v heading="## $1" '/^## / { inside = ($0 == heading) } inside && /^\| / && !/^\|---/' "$readme" | tail -n +2; }
cell() { cut -d'|' -f"$(($2 + 1))" <<<"$1" | sed 's/^ *//; s/ *$//; s/`//g'; }

# Each outcome: the arguments, the installer's answer (result, last error) and, for the
# failures, the code that stands for <code> in the table.
declare -A arguments=(
    ["Fewer than two arguments"]='ROOT\PNPDEMO'
    ["The driver was installed"]='ROOT\PNPDEMO C:\Drivers\demo.inf'
    ["Windows reported a failure"]='ROOT\PNPDEMO C:\Drivers\demo.inf'
    ["Windows reported a failure but left no error code"]='ROOT\PNPDEMO C:\Drivers\demo.inf')
declare -A answers=(
    ["Fewer than two arguments"]='1 0'
    ["The driver was installed"]='1 0'
    ["Windows reported a failure"]='0 0xE000020B'
    ["Windows reported a failure but left no error code"]='0 0')
own_lines=("Fewer than two arguments" "Windows reported a failure but left no error code")

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
declare -A seen printed
while read -r row; do
    outcome=$(cell "$row" 1) line=$(cell "$row" 2) status=$(cell "$row" 3)
    seen[$outcome]=1
    [ -n "${arguments[$outcome]:-}" ] || { fail "a row for an outcome this test cannot bring about: $outcome"; continue; }
    read -r result last_error <<<"${answers[$outcome]}"
    code=$((last_error)); ((code < 2 ** 31)) || code=$((code - 2 ** 32))
    line=${line//<code>/$code}
    [ "$status" != "the same code" ] || status=$code
    status=${status%% *}

    printf '@echo off\r\npnpinstall %s\r\necho %%ERRORLEVEL%%\r\n' "${arguments[$outcome]}" >"$work/outcome.cmd"
    output=$(cd "$work" && WINEDLLOVERRIDES=newdev=n NEWDEV_STANDIN_RESULT=$result NEWDEV_STANDIN_LAST_ERROR=$last_error \
             "$wine_run" "$prefix" cmd /c outcome.cmd 2>&1 | tr -d '\r') || true
    printed[$outcome]=$(head -1 <<<"$output")
    if [ "$output" = "$line"$'\n'"$status" ]; then
        echo "ok   $outcome: $line, status $status"
    else
        fail "$outcome: the README says \"$line\" and status $status; the command printed and left:"
        sed 's/^/  | /' <<<"$output"
    fi
done < <(table "Output and exit status")

for outcome in "${!arguments[@]}"; do
    [ -n "${seen[$outcome]:-}" ] || fail "the README's table of outputs has no row for: $outcome"
done
error_lines=$(table "Error codes" | while read -r row; do cell "$row" 1; done)
for outcome in "${own_lines[@]}"; do
    [ -n "${printed[$outcome]:-}" ] || continue
    if grep -qxF -- "${printed[$outcome]}" <<<"$error_lines"; then
        echo "ok   the error table explains \"${printed[$outcome]}\" ($outcome)"
    else
        fail "the error table has no row for \"${printed[$outcome]}\", which the command prints for: $outcome"
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures outcome(s) differ from the README" >&2; exit 1; }
