#!/usr/bin/env bash
# readme_examples_test.sh README PNPINSTALL_EXE STANDIN_DLL WINE_PREFIX
# Runs the README's Command Prompt examples through Wine's cmd, with the command beside
# the stand-in installer, and checks that each prints exactly what the README shows.
#   - A ```bat block after <!-- file: NAME --> is written to NAME beside the command.
#   - A ```bat block of prompt lines ("C:\> command") and the output that follows them is
#     a session: its commands run in order in one batch, each as a prompt runs it.
#   - <!-- installer answers: success|0xCODE --> before a session scripts the stand-in
#     (default: success); <!-- without pnpinstall.exe --> runs it with the command absent,
#     where cmd's own complaint on stderr is expected.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: readme_examples_test.sh README PNPINSTALL_EXE STANDIN_DLL WINE_PREFIX" >&2; exit 2; }
readme=$1 exe=$2 standin=$3 prefix=$(realpath -m "$4")
wine_run=$(realpath "$(dirname "$0")/../../scripts/wine-run")

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/pnpinstall.exe"
cp "$standin" "$work/newdev.dll"

# Files and sessions out of the README: session-N.cmd, session-N.expected and
# session-N.answer. The session's batch expands each command line, %ERRORLEVEL% and all,
# as a prompt does, and runs it with "cmd /c", so that a batch file returns to the
# session as it returns to a prompt ("call" would do that too, but Wine's call turns
# every failing status into 1).
awk -v work="$work" '
    /^<!-- file: .* -->$/ { file = $3; next }
    /^<!-- installer answers: .* -->$/ { answer = $4; next }
    /^<!-- without pnpinstall\.exe -->$/ { answer = "absent"; next }
    /^```bat$/ { block = 1; lines = 0; next }
    block && /^```$/ {
        block = 0
        if (file != "") {
            for (i = 1; i <= lines; i++) printf "%s\r\n", line[i] > (work "/" file)
        } else if (line[1] ~ /^[A-Z]:\\[^>]*> /) {
            session++; out = work "/session-" session
            printf "@echo off\r\n" > (out ".cmd")
            printf "" > (out ".expected")
            for (i = 1; i <= lines; i++)
                if (match(line[i], /^[A-Z]:\\[^>]*> /)) printf "cmd /c %s\r\n", substr(line[i], RLENGTH + 1) > (out ".cmd")
                else print line[i] > (out ".expected")
            print (answer == "" ? "success" : answer) > (out ".answer")
        }
        file = ""; answer = ""; next
    }
    block { line[++lines] = $0 }
' "$readme"
ls "$work"/session-*.cmd >/dev/null 2>&1 || { echo "FAIL no Command Prompt examples in $readme" >&2; exit 1; }
# The same files without the command and the stand-in, for the sessions that need its absence.
mkdir "$work/without" && cp "$work"/*.cmd "$work/without/"

failures=0
for session in "$work"/session-*.cmd; do
    name=${session%.cmd}
    answer=$(cat "$name.answer")
    here=$work quiet=yes
    case $answer in
        success) result=1 last_error=0 ;;
        0x*)     result=0 last_error=$answer ;;
        absent)  result=1 last_error=0 here=$work/without quiet= ;;
        *) echo "FAIL $(basename "$name"): unknown installer answer '$answer'"; failures=$((failures + 1)); continue ;;
    esac
    status=0
    (cd "$here" && WINEDLLOVERRIDES=newdev=n NEWDEV_STANDIN_RESULT=$result NEWDEV_STANDIN_LAST_ERROR=$last_error \
        "$wine_run" "$prefix" cmd /c "$(basename "$session")") >"$name.out" 2>"$name.err" || status=$?
    if [ "$status" -eq 0 ] && { [ -z "$quiet" ] || [ ! -s "$name.err" ]; } &&
        tr -d '\r' <"$name.out" | cmp -s - "$name.expected"; then
        echo "ok   $(head -2 "$session" | tail -1 | tr -d '\r')"
    else
        echo "FAIL this README example does not do what it shows (cmd's status $status):"
        sed 's/^/  > /' "$session"; echo "  the README shows:"; sed 's/^/  | /' "$name.expected"
        echo "  it printed:"; tr -d '\r' <"$name.out" | sed 's/^/  | /'; sed 's/^/  stderr: /' "$name.err"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures README example(s) do not work as shown" >&2; exit 1; }
