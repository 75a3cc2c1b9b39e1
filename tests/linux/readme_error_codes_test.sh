#!/usr/bin/env bash
# readme_error_codes_test.sh README COMPILER [ARGUMENT...]
# Holds the README's table of error codes against the platform's headers. In each row the
# printed line must be what the command prints for the row's hex code (a signed 32-bit
# decimal), and the row's symbolic name must have that value in the installed mingw-w64
# headers, which COMPILER checks, or the row must say which mingw-w64 lacks it.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: readme_error_codes_test.sh README COMPILER [ARGUMENT...]" >&2; exit 2; }
readme=$1; shift

rows=$(awk '/^## / { table = ($0 == "## Error codes") } table && /^\| / && !/^\| Printed / && !/^\|---/' "$readme")
[ -n "$rows" ] || { echo "FAIL $readme has no table under '## Error codes'" >&2; exit 1; }

failures=0
header_checks=$'#define WIN32_NO_STATUS\n#include <windows.h>\n#undef WIN32_NO_STATUS\n#include <ntstatus.h>\n#include <setupapi.h>\n'
while IFS='|' read -r _ printed code name _; do
    printed=$(sed 's/^ *//; s/ *$//' <<<"$printed")
    hex=$(grep -oE '`0x[0-9A-F]{8}`' <<<"$code" | tr -d '`') || true
    symbol=$(grep -oE '`[A-Z][A-Z0-9_]+`' <<<"$name" | tr -d '`') || true
    if [ -z "$hex" ] || [ -z "$symbol" ]; then
        echo "FAIL a row without a code in 0x12345678 form or a symbolic name: |$printed|$code|$name|"
        failures=$((failures + 1)); continue
    fi
    value=$((16#${hex#0x})); ((value < 2 ** 31)) || value=$((value - 2 ** 32))
    case $printed in
        nothing*) expected="nothing; exit status \`$value\`" ;;
        *)        expected="\`error: $value\`" ;;
    esac
    if [ "$printed" = "$expected" ]; then
        echo "ok   $hex prints as $expected"
    else
        echo "FAIL $symbol: $hex prints as $expected, the row says $printed"
        failures=$((failures + 1))
    fi
    # A name may be missing from older headers, if its row says which: "(not in mingw-w64
    # N's headers)". Whichever headers are installed, a name they define has the row's value.
    header_checks+="#ifdef $symbol"$'\n'"_Static_assert((DWORD)($symbol) == ${hex}u, \"$symbol is not $hex\");"$'\n'
    if [[ $name =~ \(not\ in\ mingw-w64\ ([0-9]+)\'s\ headers\) ]]; then
        lacking=${BASH_REMATCH[1]}
        header_checks+="#elif __MINGW64_VERSION_MAJOR != $lacking"$'\n'
        header_checks+="#error \"$symbol is missing from mingw-w64 \" __MINGW64_VERSION_STR \"'s headers: its row must say so\""$'\n'
        header_checks+="#endif"$'\n'"#if __MINGW64_VERSION_MAJOR == $lacking && defined($symbol)"$'\n'
        header_checks+="#error \"$symbol is in mingw-w64 $lacking's headers, although its row says it is not\""$'\n'
    else
        header_checks+="#else"$'\n'"#error \"$symbol is not in the headers: its row must say which lack it\""$'\n'
    fi
    header_checks+="#endif"$'\n'
done <<<"$rows"

if diagnostics=$("$@" -fsyntax-only -x c - <<<"$header_checks" 2>&1); then
    echo "ok   every symbolic name has the row's value in the headers"
else
    echo "FAIL the headers disagree with the table:"
    grep -E 'error:' <<<"$diagnostics" || echo "$diagnostics"
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || { echo "$failures disagreement(s) in the error codes of $readme" >&2; exit 1; }
