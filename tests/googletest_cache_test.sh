#!/usr/bin/env bash
# googletest_cache_test.sh SCRIPTS_DIR LLVM_VERSION TOOLCHAIN_FILE ARM64_TOOLCHAIN
# scripts/googletest's cache, in a cache folder of its own, for a copy of the ARM64
# toolchain: googletest is built once and then reused as it is; once the toolchain's
# revision changes it is built again, never reused.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: googletest_cache_test.sh SCRIPTS_DIR LLVM_VERSION TOOLCHAIN_FILE ARM64_TOOLCHAIN" >&2; exit 2; }
scripts=$1 llvm=$2 toolchain_file=$3 arm64_toolchain=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-googletest.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# A toolchain of its own: links to the real one's files, with a completion mark of its own.
toolchain=$work/toolchain-llvm$llvm
cp -rs "$arm64_toolchain" "$toolchain" && rm "$toolchain/complete" && cat "$arm64_toolchain/complete" >"$toolchain/complete"
# googletest NAME: runs the script; its output, messages and status in $work/NAME.*
googletest() {
    local status=0
    PNPINSTALL_CACHE=$work/cache "$scripts/googletest" arm64 "$llvm" "$toolchain_file" "$toolchain" \
        >"$work/$1.out" 2>"$work/$1.err" || status=$?
    echo "$status" >"$work/$1.status"
}
library() { stat -c '%i %y' "$(cat "$work/$1.out")/lib/libgtest.a" 2>/dev/null; } # NAME: the built library's inode and time
built() { grep -q 'building googletest' "$work/$1.err"; }

googletest first
check "first: builds googletest, and prints the package's folder" \
    test "$(cat "$work/first.status")" = 0 -a -f "$(cat "$work/first.out")/lib/cmake/GTest/GTestConfig.cmake"
[ "$(cat "$work/first.status")" = 0 ] || { cat "$work/first.err"; exit 1; }
first=$(library first)

googletest again
check "again: the same folder, reused as it is" \
    test "$(cat "$work/again.status")" = 0 -a "$(cat "$work/again.out")" = "$(cat "$work/first.out")" -a "$(library again)" = "$first"
check "again: says nothing" test ! -s "$work/again.err"

rm "$toolchain/complete" && echo "$(cat "$arm64_toolchain/complete")-changed" >"$toolchain/complete"
googletest changed
check "a new toolchain revision: built again" built changed
check "a new toolchain revision: not the old library" test "$(cat "$work/changed.status")" = 0 -a "$(library changed)" != "$first"
check "a new toolchain revision: its mark names it" grep -qx "arm64 toolchain .* revision $(cat "$toolchain/complete")" \
    "$(cat "$work/changed.out")/complete"

[ "$failures" -eq 0 ] || { echo "$failures googletest cache check(s) failed" >&2; exit 1; }
