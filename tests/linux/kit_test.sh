#!/usr/bin/env bash
# kit_test.sh ARCH BUILD_DIR KIT_NAME WINE_RUN PREFIX
# The test kit as an administrator meets it: packed from the build tree as the release packs
# it, unpacked into a folder whose path holds a space and Cyrillic letters, and run with
# run-tests.cmd under Wine (WINE_RUN: scripts/wine-run or scripts/arm64-wine) in a prefix
# of its own. The run passes, with what needs Windows skipped and named, and leaves
# nothing behind. For x64 also: a kit without its test program, something it cannot
# remove, an installer that refuses, a case that hangs; a console; a run killed halfway,
# cleaned up by --cleanup, and by the next full run, which starts in another folder.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: kit_test.sh ARCH BUILD_DIR KIT_NAME WINE_RUN PREFIX" >&2; exit 2; }
arch=$1 build=$(realpath "$2") kit_name=$3 wine_run=$(realpath "$4") prefix=$(realpath -m "$5")

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-kit.XXXXXX")
stop_wine() { "$wine_run" --stop "$prefix"; }
trap 'stop_wine; rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# Packed as the release packs it.
(cd "$build" && cpack -G ZIP -B "$work/pack" -D CPACK_COMPONENTS_ALL=kit >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; echo "FAIL packing the kit" >&2; exit 1; }
zip=$work/pack/$kit_name.zip
expected="$kit_name/ $kit_name/LICENSE $kit_name/README.md $kit_name/pnpinstall.exe $kit_name/run-tests.cmd \
$kit_name/sample/ $kit_name/sample/pnpdemo.inf $kit_name/tests/ $kit_name/tests/install_test.exe \
$kit_name/tests/standin/ $kit_name/tests/standin/newdev.dll $kit_name/tests/testkit.exe "
check "the kit's zip holds exactly what the kit needs" test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = "$expected"
folder="$work/Тестовый набор"
mkdir "$folder" && unzip -q "$zip" -d "$folder"
kit=$folder/$kit_name
check "the kit's command is the build's" cmp "$kit/pnpinstall.exe" "$build/pnpinstall/pnpinstall.exe"
[ "$failures" -eq 0 ] || exit 1

# run_kit NAME [ARGUMENT...]: runs run-tests.cmd in the kit's folder as a prompt would;
# its output and status go to $work/NAME.out and $work/NAME.status. What the wrappers
# around it say (set-up notices, Wine's complaints) goes to standard error, kept apart in
# $work/NAME.err: it is not the kit's.
# With FROM=FOLDER it starts there, run-tests.cmd named by its full path, as Explorer's
# "Run as administrator" starts it in System32.
run_kit() {
    local name=$1 start=$SECONDS script=run-tests.cmd; shift
    local status=0
    [ -z "${FROM:-}" ] || script="Z:${kit//\//\\}\\run-tests.cmd"
    (cd "${FROM:-$kit}" && WINE_RUN_TIMEOUT=400 "$wine_run" "$prefix" cmd /c "$script" "$@") >"$work/$name.out" \
        2>"$work/$name.err" || status=$?
    tr -d '\r' <"$work/$name.out" >"$work/$name.text"
    echo "$status" >"$work/$name.status"
    echo "run-tests.cmd $* ($name): status $status in $((SECONDS - start)) s"
}
show() {
    echo "  $1 printed (status $(cat "$work/$1.status")):"; sed 's/^/  | /' "$work/$1.text"
    [ ! -s "$work/$1.err" ] || { echo "  and on standard error:"; sed 's/^/  ! /' "$work/$1.err"; }
}
last_line() { tail -1 "$work/$1.text"; }
# tally NAME [FAILED]: the last line as the report's PASS, FAIL and SKIP lines count it,
# with FAILED failures where given.
tally() {
    local text=$work/$1.text
    echo "$(grep -c '^PASS  ' "$text") passed, ${2:-$(grep -c '^FAIL  ' "$text")} failed, $(grep -c '^SKIP  ' "$text") skipped"
}
# The run's clean-up, after its cases (a run also removes what an earlier one left, first),
# ends with nothing left.
left_nothing() { [ -n "$(sed -n '/^Removed/,$p' "$work/$1.text" | grep -x 'Left on this machine: nothing')" ]; }
# A report a person reads and pastes into a ticket: valid UTF-8 (the kit's folder may have
# any name), no control character but its line ends.
plain_text() { iconv -f UTF-8 -t UTF-8 "$1" >/dev/null 2>&1 && ! tr -d '\r\n' <"$1" | grep -q '[[:cntrl:]]'; }
# Each SKIP line's case, before the next case's line, has a "skipped: REASON" line (its
# notes may come first).
each_skip_says_why() { # REPORT
    awk '/^(PASS|FAIL|SKIP)  / || /^$/ { if (open) exit 1; open = 0 }
         /^SKIP  / { open = 1 }
         open && /^      skipped: [^ ]/ { open = 0 }
         END { exit open }' "$1"
}
# What a run must show: it passed, named each skipped case with its reason, left nothing.
passed() { # NAME
    local name=$1 before=$failures
    check "$name: status 0" test "$(cat "$work/$name.status")" = 0
    check "$name: ends with N passed, 0 failed, N skipped" grep -qxE '[0-9]+ passed, 0 failed, [0-9]+ skipped' <(last_line "$name")
    check "$name: the report beside the kit is what it printed" cmp <(tr -d '\r' <"$kit/test-report.txt") "$work/$name.text"
    check "$name: the report is text: UTF-8, no control characters" plain_text "$kit/test-report.txt"
    check "$name: the real installations passed" test "$(grep -c '^PASS  Folder/SignedPackage.InstallsAndInstallsAgainWhenForced/' "$work/$name.text")" = 2
    check "$name: the driver came from the $section section" \
        grep -qF "holds \"installed from pnpdemo.inf, section $section\"" "$work/$name.text"
    check "$name: each skipped case says why" each_skip_says_why "$work/$name.text"
    check "$name: what needs Windows is skipped under Wine, and nothing else" \
        test "$(grep -cE '^SKIP  .*(PlantedNewdev|WindowsAnswers|Catalog)' "$work/$name.text") $(grep -c '^SKIP  ' "$work/$name.text")" = "7 7"
    check "$name: the last line counts the cases the report lists" test "$(last_line "$name")" = "$(tally "$name")"
    check "$name: nothing left on the machine" left_nothing "$name"
    [ "$failures" -eq "$before" ] || show "$name"
}
declare -A sections=([x64]=NTamd64 [arm64]=NTarm64)
section=${sections[$arch]}

run_kit first
passed first
if [ "$arch" = x64 ]; then
    # A kit whose test program is gone (antivirus software takes programs away): no case
    # runs, and the run fails, saying why, after its clean-up.
    mv "$kit/tests/install_test.exe" "$work/install_test.exe"
    run_kit no_cases
    mv "$work/install_test.exe" "$kit/tests/install_test.exe"
    before=$failures
    check "no_cases: status not 0" test "$(cat "$work/no_cases.status")" != 0
    check "no_cases: says no cases ran, and why" \
        bash -c 'grep -A1 -x "FAIL  no cases ran" "$0" | grep -q "^      .*install_test\.exe did not start"' "$work/no_cases.text"
    check "no_cases: the last line counts it as failed" test "$(last_line no_cases)" = "1 passed, 1 failed, 0 skipped"
    check "no_cases: clean-up done, nothing left" left_nothing no_cases
    [ "$failures" -eq "$before" ] || show no_cases

    # At a console, each line of the report is a line of the screen: --cleanup in a
    # pseudo-terminal, which Wine's console host draws on (its cursor and erase sequences
    # taken out), as wide as no line of it needs wrapping.
    (cd "$kit" && WINEPREFIX=$prefix WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe= timeout -k 10 120 \
        script -qefc 'stty cols 1000 rows 100; wine cmd /c run-tests.cmd --cleanup' /dev/null </dev/null) >"$work/console.raw" 2>&1 || true
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/console.raw" | tr -d '\r' | sed '${/^$/d}' >"$work/console.text"
    echo 0 >"$work/console.status"
    before=$failures
    check "at a console, each report line is a line of its own" cmp <(tr -d '\r' <"$kit/test-report.txt") "$work/console.text"
    [ "$failures" -eq "$before" ] || show console

    # An installer that refuses with a code that no README row has (the stand-in beside the
    # kit's command), while something of the kit's that it cannot remove, a file in its work
    # folder, is held open by another program. Each case that installs fails, and its
    # report says why: the case's own messages, then what Windows' installer logged
    # meanwhile. The run names the folder as left, and it alone, counts that as a failure
    # too and fails; so does --cleanup, which also runs no case. One run shows both: each
    # run of the kit costs seconds of Wine.
    held_open() { # COMMAND...: runs it while ping holds work\held.txt open
        mkdir -p "$kit/work"
        (cd "$kit/work" && WINE_RUN_TIMEOUT=120 "$wine_run" "$prefix" cmd /c "ping -n 100 127.0.0.1 >held.txt") \
            >/dev/null 2>&1 &
        local holder=$! waited=0
        until [ -e "$kit/work/held.txt" ] || [ $waited -ge 300 ]; do sleep 0.1; waited=$((waited + 1)); done
        "$@"
        pkill -KILL -f 'ping -n 100 127\.0\.0\.1' || true
        wait "$holder" || true
    }
    cp "$build/kit/tests/standin/newdev.dll" "$kit/newdev.dll"
    WINEDLLOVERRIDES=newdev=n,b NEWDEV_STANDIN_RESULT=0 NEWDEV_STANDIN_LAST_ERROR=0x20000001 held_open run_kit refusing
    held_open run_kit held_cleanup --cleanup
    before=$failures
    left() { sed -n "/^Removed/,\$p" "$work/$1.text" | sed -n '/^LEFT on this machine:/,/^$/p' | grep '^      '; } # NAME
    for name in refusing held_cleanup; do
        check "$name: status not 0" test "$(cat "$work/$name.status")" != 0
        check "$name: names the folder it cannot remove as left, and nothing else" \
            bash -c '[ "$(wc -l <<<"$0")" = 1 ] && grep -q "^      folder .*work$" <<<"$0"' "$(left "$name")"
    done
    check "refusing: each case that installs fails" test "$(grep -v '^FAIL  clean-up:' "$work/refusing.text" | grep -c '^FAIL  ')" = 3
    check "refusing: each failed case carries its messages and the installer's log" awk '
        /^(PASS|FAIL|SKIP)  |^$/ { if (open && !(failure && logged)) exit 1; open = 0 }
        /^FAIL  / && !/^FAIL  clean-up:/ { open = 1; failure = 0; logged = 0 }
        open && /: Failure$/ { failure = 1 }
        open && /^      what Windows. installer logged meanwhile/ { logged = 1 }
        END { exit open && !(failure && logged) }' "$work/refusing.text"
    check "refusing: the last line counts the 3 cases and the clean-up as failed" \
        test "$(last_line refusing)" = "$(tally refusing 4)"
    check "held_cleanup: runs no case" bash -c '! grep -qE "^(PASS|SKIP)  " "$0"' "$work/held_cleanup.text"
    [ "$failures" -eq "$before" ] || { show refusing; show held_cleanup; }

    # An installer that waits for a person: the stand-in beside the kit's command, answering
    # after ten minutes. Each case that installs is ended at its limit, and the kit goes on.
    # The others take about a second each under Wine, and twice that on a busy machine.
    export WINEDLLOVERRIDES=newdev=n,b NEWDEV_STANDIN_SLEEP_MS=600000
    run_kit hanging --case-limit 4
    before=$failures
    check "hanging: status not 0" test "$(cat "$work/hanging.status")" != 0
    check "hanging: each case that installs is ended after 4 s and fails" \
        test "$(grep -c '^      ended after 4 s without finishing' "$work/hanging.text")" = 3
    check "hanging: the other cases still ran" grep -q '^PASS  RunTests.RefuseWithoutAdministratorRights' "$work/hanging.text"
    check "hanging: ends with 3 failed" grep -qxE '[0-9]+ passed, 3 failed, [0-9]+ skipped' <(last_line hanging)
    check "hanging: clean-up done, nothing left" left_nothing hanging
    [ "$failures" -eq "$before" ] || show hanging

    # Killed while a case waits in the installer, with its device, certificate and files in
    # place: --cleanup removes them; killed again, the next run removes them itself. The
    # stand-in logs each call before it waits, so the kill comes once the installation from
    # the folder with a space is waiting, and at once: within its case's limit, however
    # busy the machine.
    demo_driver=$(printf 'Demo Driver' | od -An -tx1 | tr -d ' \n') # the folder's name, as the stand-in logs it
    killed_halfway() { # NAME
        local calls=$work/$1.calls waited=0
        (NEWDEV_STANDIN_LOG="Z:${calls//\//\\}" run_kit "$1" --case-limit 4) &
        local run=$!
        until grep -qF "$demo_driver" "$calls" 2>/dev/null || ! kill -0 "$run" 2>/dev/null || [ $waited -ge 600 ]; do
            sleep 0.1; waited=$((waited + 1))
        done
        # Ends the kit's processes, as Task Manager would, without losing what they did: the
        # wineserver, which keeps the registry, stays. Only this kit's: other tests may run
        # the same programs meanwhile.
        pkill -KILL -f "$(basename "$work")"'.*\\(testkit|install_test|pnpinstall)\.exe' || true
        wait "$run" || true
        grep -qF "$demo_driver" "$calls" 2>/dev/null || echo "  $1: the installation from the folder with a space never began"
    }
    killed_halfway killed
    check "killed: the report holds every line printed before the kill" \
        cmp <(tr -d '\r' <"$kit/test-report.txt") "$work/killed.text"
    rm "$kit/newdev.dll"
    unset WINEDLLOVERRIDES NEWDEV_STANDIN_SLEEP_MS
    run_kit cleanup --cleanup
    before=$failures
    check "--cleanup after a killed run: status 0" test "$(cat "$work/cleanup.status")" = 0
    check "--cleanup: removed the case's device and files" \
        bash -c 'grep -q "^      device ROOT\\\\PNPINSTALLTEST\\\\" "$0" && grep -q "^      folder .*work$" "$0"' "$work/cleanup.text"
    check "--cleanup: nothing left" left_nothing cleanup
    check "--cleanup: runs no case" bash -c '! grep -qE "^(PASS|FAIL|SKIP)  " "$0"' "$work/cleanup.text"
    [ "$failures" -eq "$before" ] || show cleanup

    cp "$build/kit/tests/standin/newdev.dll" "$kit/newdev.dll"
    export WINEDLLOVERRIDES=newdev=n,b NEWDEV_STANDIN_SLEEP_MS=600000
    killed_halfway killed_again
    rm "$kit/newdev.dll"
    unset WINEDLLOVERRIDES NEWDEV_STANDIN_SLEEP_MS
    FROM=$work run_kit after_killed
    passed after_killed
    check "after a killed run: the kit removed what it left" bash -c \
        'sed -n "/^Left by an earlier run, and removed:/,/on this machine/p" "$0" | grep -q "^      device ROOT\\\\PNPINSTALLTEST\\\\"' \
        "$work/after_killed.text"
fi

# Independently of the kit's own checks: the prefix's registry holds no test device, no
# key container and no certificate of the kit's (found by its subject's bytes in the
# certificate blobs of the Root and TrustedPublisher stores, whose hex lines
# system.reg folds).
check "the prefix's wineserver stops" stop_wine
check "the prefix holds no test device" bash -c '! grep -q "Enum\\\\\\\\ROOT\\\\\\\\PNPINSTALLTEST\\\\\\\\[0-9]" "$0/system.reg"' "$prefix"
check "the prefix holds no key of the kit's" bash -c '! grep -qi "pnpinstall-test-kit" "$0/system.reg"' "$prefix"
kit_certificates() { # STORE: how many of the kit's certificates the prefix's LocalMachine STORE holds
    local subject; subject=$(printf 'pnpinstall test kit throwaway signer' | od -An -v -tx1 | xargs | tr ' ' ,)
    sed -z 's/\\\n *//g' "$prefix/system.reg" | awk -v store="$1" -v subject="$subject" '
        /^\[/ { inside = index($0, "[Software\\\\Microsoft\\\\SystemCertificates\\\\" store "\\\\Certificates\\\\") == 1 }
        inside && /^"Blob"=hex:/ && index($0, subject) { found++ }
        END { print found + 0 }'
}
for store in Root TrustedPublisher; do
    check "the prefix's $store store holds no certificate of the kit's" test "$(kit_certificates "$store")" = 0
done
[ "$failures" -eq 0 ] || { echo "$failures kit check(s) failed" >&2; exit 1; }
