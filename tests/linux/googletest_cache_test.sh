#!/usr/bin/env bash
# googletest_cache_test.sh SCRIPTS_DIR LLVM_VERSION
# scripts/googletest's cache, in a cache folder of its own, for an ARM64 toolchain of the
# test's own (a folder with a completion mark and a list of sources), with cmake replaced
# by a stand-in that logs its calls and installs an empty package: googletest is built
# once and then used as it is; it is built again, never used, once the toolchain's
# revision or its sources change, and after a build that did not finish.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: googletest_cache_test.sh SCRIPTS_DIR LLVM_VERSION" >&2; exit 2; }
googletest=$(realpath "$1")/googletest llvm=$2 # the installed LLVM, whose packages the script asks about

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-googletest.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/toolchain-llvm$llvm"
# cmake -S ... -DCMAKE_INSTALL_PREFIX=FOLDER ... | --build | --install: logged; the install
# makes FOLDER's package files, unless $FAIL says the build fails.
cat >"$work/bin/cmake" <<'STANDIN'
#!/bin/bash
echo "cmake $*" >>"$CALLS"
[ -z "$FAIL" ] || exit 1
for argument; do case $argument in -DCMAKE_INSTALL_PREFIX=*) echo "${argument#*=}" >"$CALLS.prefix" ;; esac; done
if [ "$1" = --install ]; then
    prefix=$(cat "$CALLS.prefix")
    mkdir -p "$prefix/lib/cmake/GTest" && touch "$prefix/lib/cmake/GTest/GTestConfig.cmake" "$prefix/lib/libgtest.a"
fi
STANDIN
chmod +x "$work/bin/cmake"
echo 2 >"$work/toolchain-llvm$llvm/complete"
echo "mingw-w64 10.0.0-3" >"$work/toolchain-llvm$llvm/source-packages"
touch "$work/toolchain.cmake"

failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# run NAME [VARIABLE=VALUE...]: the script once; what it printed, said and called in $work/NAME.*
run() {
    local name=$1 status=0; shift
    : >"$work/$name.calls"
    env PATH="$work/bin:$PATH" CALLS="$work/$name.calls" FAIL= PNPINSTALL_CACHE="$work/cache" "$@" \
        "$googletest" arm64 "$llvm" "$work/toolchain.cmake" "$work/toolchain-llvm$llvm" >"$work/$name.out" 2>"$work/$name.err" ||
        status=$?
    echo "$status" >"$work/$name.status"
}
package() { cat "$work/$1.out"; }                                                  # NAME: the folder it printed
built() { grep -q '^cmake -S /usr/src/googletest ' "$work/$1.calls"; }              # NAME: it configured googletest
usable() { test "$(cat "$work/$1.status")" = 0 -a -f "$(package "$1")/lib/cmake/GTest/GTestConfig.cmake"; } # NAME

# Each case: a name, what changes before the run, and whether googletest is built then.
cases=(
    first          ":"                                                                       built
    again          ":"                                                                       reused
    new_revision   "rm $work/toolchain-llvm$llvm/complete && echo 3 >$work/toolchain-llvm$llvm/complete" built
    same_again     ":"                                                                       reused
    new_sources    "echo 'mingw-w64 12.0.0-1' >$work/toolchain-llvm$llvm/source-packages"       built
    interrupted    "rm $work/cache/googletest-*/complete"                                    built
)
for ((i = 0; i < ${#cases[@]}; i += 3)); do
    name=${cases[i]} expected=${cases[i + 2]}
    bash -c "${cases[i + 1]}"
    run "$name"
    if [ "$expected" = built ]; then
        check "$name: googletest is built" built "$name"
        check "$name: its completion mark names the toolchain's revision and sources" \
            bash -c 'grep -qx "arm64 toolchain .* revision $(cat "$1/complete")" "$0/complete" && grep -qxFf "$1/source-packages" "$0/complete"' \
            "$(package "$name")" "$work/toolchain-llvm$llvm"
    else
        check "$name: the built googletest is used as it is" bash -c '! grep -q . "$0" && ! grep -q . "$1"' \
            "$work/$name.calls" "$work/$name.err"
    fi
    check "$name: prints the package's folder" usable "$name"
    [ "$(cat "$work/$name.status")" = 0 ] || sed "s/^/  $name said: /" "$work/$name.err"
done

# A build that fails: the script fails, and the next run builds again rather than use it.
rm "$work/toolchain-llvm$llvm/complete" && echo 4 >"$work/toolchain-llvm$llvm/complete"
run failing FAIL=1
check "a failed build: the script fails, printing no folder" test "$(cat "$work/failing.status")" != 0 -a ! -s "$work/failing.out"
run after_failing
check "after a failed build: googletest is built again" built after_failing

[ "$failures" -eq 0 ] || { echo "$failures googletest cache check(s) failed" >&2; exit 1; }
