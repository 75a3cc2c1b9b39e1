#!/usr/bin/env bash
# debian_archive_test.sh SCRIPTS_DIR
# scripts/debian-archive against APT configurations of each form (deb822 .sources files,
# one-line sources.list), given to APT through APT_CONFIG, and against the variable that
# overrides them: the archive and security archive it prints, or its refusal.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: debian_archive_test.sh SCRIPTS_DIR" >&2; exit 2; }
debian_archive=$1/debian-archive

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-archive.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo 'VERSION_CODENAME=bookworm' >"$work/os-release"

# Each case: its name, the files of its APT configuration ("FILE" lines, then the file's
# lines, up to the next "FILE"), and the two lines it must print, or "refused".
failures=0
run_case() { # NAME EXPECTED CONFIGURATION [VARIABLE=VALUE...]
    local name=$1 expected=$2 configuration=$3 folder=$work/$1 output status
    shift 3
    mkdir -p "$folder/sources.list.d"
    : >"$folder/sources.list"
    awk -v folder="$folder" '/^FILE / { file = folder "/" $2; next } file != "" { print > file }' <<<"$configuration"
    printf 'Dir::Etc::SourceList "%s/sources.list";\nDir::Etc::SourceParts "%s/sources.list.d";\n' "$folder" "$folder" \
        >"$folder/apt.conf"
    output=$(env APT_CONFIG="$folder/apt.conf" PNPINSTALL_OS_RELEASE="$work/os-release" "$@" "$debian_archive" 2>&1) &&
        status=0 || status=$?
    if { [ "$expected" = refused ] && [ "$status" -ne 0 ] && grep -qF PNPINSTALL_DEBIAN_ARCHIVE <<<"$output"; } ||
        { [ "$status" -eq 0 ] && [ "$output" = "$expected" ]; }; then
        echo "ok   $name"
    else
        echo "FAIL $name: expected"; sed 's/^/  | /' <<<"$expected"; echo "  got (status $status):"; sed 's/^/  | /' <<<"$output"
        failures=$((failures + 1))
    fi
}

run_case deb822_sources $'http://mirror.example/debian\nhttp://mirror.example/debian-security' '
FILE sources.list.d/vendor.sources
Types: deb
URIs: https://vendor.example/apt
Suites: nodistro
Components: main

FILE sources.list.d/debian.sources
Types: deb deb-src
URIs: http://mirror.example/debian/
Suites: bookworm bookworm-updates
Components: main contrib

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main'

run_case one_line_sources_list $'http://proxy.example:3142/debian\nhttp://proxy.example:3142/debian-security' '
FILE sources.list
# a comment, and another release first
deb http://other.example/debian trixie main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://proxy.example:3142/debian bookworm main non-free-firmware
deb http://proxy.example:3142/debian-security bookworm-security main'

run_case suite_name_without_security 'http://mirror.example/debian' '
FILE sources.list.d/debian.sources
Types: deb
URIs: http://mirror.example/debian
Suites: oldstable
Components: main

Types: deb
URIs: http://mirror.example/debian-security
Suites: oldstable-security
Components: main
Enabled: no'

run_case two_mirrors_for_this_release $'http://first.example/debian\nhttp://first.example/debian-security' '
FILE sources.list
deb http://first.example/debian bookworm main
deb http://second.example/debian bookworm main
deb http://first.example/debian-security bookworm-security main
deb http://second.example/debian-security bookworm-security main'

run_case another_releases_security 'http://mirror.example/debian' '
FILE sources.list
deb http://mirror.example/debian bookworm main
deb http://mirror.example/debian-security stable-security main
deb http://mirror.example/debian-security trixie-security main'

run_case no_debian_archive refused '
FILE sources.list.d/vendor.sources
Types: deb
URIs: https://vendor.example/apt
Suites: nodistro
Components: main'

run_case overridden $'http://override.example/debian\nhttp://override.example/debian-security' '
FILE sources.list
deb http://mirror.example/debian bookworm main' \
    PNPINSTALL_DEBIAN_ARCHIVE='http://override.example/debian/ http://override.example/debian-security'

[ "$failures" -eq 0 ] || { echo "$failures archive case(s) failed" >&2; exit 1; }
