#!/usr/bin/env bash
# install_packages_test.sh SCRIPTS_DIR
# scripts/install-packages on the systems it builds on and on others, each described by an
# os-release file of its own, with apt-get and dpkg-query replaced by stand-ins that log
# their calls and say which packages are installed: another system is refused with a
# message before anything is installed; Debian 12 and 13 get their own LLVM.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: install_packages_test.sh SCRIPTS_DIR" >&2; exit 2; }
install_packages=$(realpath "$1")/install-packages

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# dpkg-query -W -f='${Package} ${Status}\n' PACKAGE...: each installed unless named in
# $MISSING, which it answers as dpkg does for a package it does not know (on stderr, and
# with status 1) or, for those named in $REMOVED, one removed with its configuration kept.
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/bin/bash
echo "dpkg-query $*" >>"$CALLS"
status=0
for package in "${@:3}"; do
    case " $MISSING " in
        *" $package "*) echo "dpkg-query: no packages found matching $package" >&2; status=1 ;;
        *) case " ${REMOVED:-} " in
               *" $package "*) echo "$package deinstall ok config-files" ;;
               *) echo "$package install ok installed" ;;
           esac ;;
    esac
done
exit $status
STANDIN
printf '#!/bin/sh\necho "apt-get $*" >>"$CALLS"\n' >"$work/bin/apt-get"
chmod +x "$work/bin/"*
# The machine's other commands are these alone, so that each case says whether it has an
# npm: Debian's nodejs comes without one, other builds of Node.js with one.
for command in bash grep id; do ln -s "$(command -v "$command")" "$work/bin/$command"; done
mkdir "$work/npm" && printf '#!/bin/sh\n' >"$work/npm/npm" && chmod +x "$work/npm/npm"

failures=0
# Each case: a name, the os-release lines, the packages missing, and what must happen:
# "refused" (non-zero, a message naming the system, no apt-get) or "installs: PACKAGE..."
# (apt-get updates its lists, then installs exactly those) or "nothing" (status 0, no
# apt-get); and "without npm" where the machine has no npm command.
run_case() { # NAME OS_RELEASE MISSING EXPECTED [without npm]
    local name=$1 missing=$3 expected=$4 path=$work/bin:$work/npm output status calls
    [ "${5:-}" != "without npm" ] || path=$work/bin
    printf '%s\n' "$2" >"$work/$name.os-release"
    : >"$work/$name.calls"
    output=$(env PATH="$path" CALLS="$work/$name.calls" MISSING="$missing" REMOVED="${REMOVED:-}" \
             PNPINSTALL_OS_RELEASE="$work/$name.os-release" "$install_packages" 2>&1) && status=0 || status=$?
    calls=$(cat "$work/$name.calls")
    local apt; apt=$(grep '^apt-get install' <<<"$calls" | sed 's/.*--no-install-recommends //') || true
    case $expected in
        refused) [ "$status" -ne 0 ] && grep -q "this machine runs .* pnpinstall builds on Debian 12 (bookworm) and Debian 13 (trixie)" <<<"$output" &&
                     ! grep -q '^apt-get' <<<"$calls" ;;
        nothing) [ "$status" -eq 0 ] && ! grep -q '^apt-get' <<<"$calls" ;;
        installs:*) [ "$status" -eq 0 ] && [ "$apt" = "${expected#installs: }" ] &&
                        [ "$(grep '^apt-get' <<<"$calls" | head -1)" = "apt-get update -q" ] ;;
    esac && { echo "ok   $name: $expected"; return; }
    echo "FAIL $name: expected $expected; status $status, it said:"; sed 's/^/  | /' <<<"$output"
    echo "  and called:"; sed 's/^/  | /' <<<"$calls"
    failures=$((failures + 1))
}

run_case ubuntu         $'ID=ubuntu\nVERSION_CODENAME=noble'    ""               refused
run_case debian_11      $'ID=debian\nVERSION_CODENAME=bullseye' ""               refused
run_case empty_os_release ''                                    ""               refused
run_case debian_12      $'ID=debian\nVERSION_CODENAME=bookworm' ""               nothing
run_case debian_12_llvm $'ID=debian\nVERSION_CODENAME=bookworm' "clang-16 lld-16" "installs: clang-16 lld-16"
run_case debian_13_llvm $'ID=debian\nVERSION_CODENAME=trixie'   "clang-19 wine"  "installs: clang-19 wine"
run_case debian_nodejs   $'ID=debian\nVERSION_CODENAME=bookworm' "nodejs npm" "installs: nodejs npm" "without npm"
run_case nodejs_with_npm $'ID=debian\nVERSION_CODENAME=trixie'   "nodejs npm" "installs: nodejs"
REMOVED="wine yq" run_case removed_kept_config $'ID=debian\nVERSION_CODENAME=trixie' "" "installs: wine yq"
[ "$failures" -eq 0 ] || { echo "$failures install-packages case(s) failed" >&2; exit 1; }
