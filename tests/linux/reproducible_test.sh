#!/usr/bin/env bash
# reproducible_test.sh SOURCE_DIR BUILD_TYPE EXE TOOLCHAIN_FILE [CMAKE_ARGUMENT...]
# Builds the command again from scratch, in a folder of another name and depth, and
# checks that the result is byte for byte the executable already built.
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: reproducible_test.sh SOURCE_DIR BUILD_TYPE EXE TOOLCHAIN_FILE [CMAKE_ARGUMENT...]" >&2; exit 2; }
source_dir=$1 build_type=$2 exe=$3 toolchain=$4; shift 4

rebuild=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-rebuild.XXXXXX")
trap 'rm -rf "$rebuild"' EXIT
log=$rebuild/build.log
cmake -S "$source_dir" -B "$rebuild/elsewhere/build" -G Ninja \
    --toolchain "$toolchain" -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF "$@" >"$log" 2>&1 &&
    cmake --build "$rebuild/elsewhere/build" --target pnpinstall >>"$log" 2>&1 ||
    { cat "$log" >&2; echo "the second build failed" >&2; exit 1; }

second=$rebuild/elsewhere/build/pnpinstall/pnpinstall.exe
if cmp "$exe" "$second"; then
    echo "ok   $(sha256sum <"$exe" | cut -c1-16)… built twice, byte-identical"
else
    echo "FAIL $exe and a second build of it differ" >&2
    exit 1
fi
