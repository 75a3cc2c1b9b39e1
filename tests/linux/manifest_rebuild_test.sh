#!/usr/bin/env bash
# manifest_rebuild_test.sh SOURCE_DIR BUILD_TYPE
# Builds a copy of the command, edits its manifest and builds again: the executable must
# carry the edited manifest, or an incremental build could ship a stale one.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: manifest_rebuild_test.sh SOURCE_DIR BUILD_TYPE" >&2; exit 2; }
source_dir=$1 build_type=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-manifest.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$source_dir/CMakeLists.txt" "$source_dir/cmake" "$source_dir/pnpinstall" "$work/"
build() { cmake --build "$work/build" --target pnpinstall >>"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }; }
cmake -S "$work" -B "$work/build" -G Ninja --toolchain "$work/cmake/x86_64-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
build
sleep 1 # a later modification time than the first build's outputs
sed -i 's|</assembly>|<!-- edited --></assembly>|' "$work/pnpinstall/pnpinstall.manifest.in"
build

if wrestool -x --raw --type=24 --name=1 "$work/build/pnpinstall/pnpinstall.exe" | grep -F '<!-- edited -->' >/dev/null; then
    echo "ok   an edited manifest is built into the executable"
else
    echo "FAIL the executable still carries the manifest from before the edit" >&2
    exit 1
fi
