#!/usr/bin/env bash
# executable_test.sh OBJDUMP STRINGS EXE
# Checks what the built executable declares in its own headers, import table and
# resources, as objdump and strings read them from the file.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: executable_test.sh OBJDUMP STRINGS EXE" >&2; exit 2; }
objdump=$1 strings=$2 exe=$3

headers=$("$objdump" -p "$exe")
# One "dll!function" line per import, DLL names in lower case.
imports=$(awk '/^The Import Tables/ { section = 1; next }
               /^The / { section = 0 }
               section && /^\tDLL Name:/ { dll = tolower($3); next }
               section && dll && /^\t[0-9a-f]+\t/ { print dll "!" $NF }' <<<"$headers")
versioninfo=$("$strings" -el "$exe")

failures=0
field() { awk -v name="$1" '$1 == name { print $2 }' <<<"$headers"; }
check() { # description, then a command that succeeds when the declaration holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
has() { grep -qE -- "$2" <<<"$1"; }
lacks() { ! grep -qE -- "$2" <<<"$1"; }
c_string() { LC_ALL=C grep -qazFx -- "$1" "$exe"; } # NUL-terminated, exactly these bytes

check "PE32+ for x86-64"               has "$headers" $'file format pei-x86-64'
check "PE32+ optional header"          test "$(field Magic)" = 020b
check "console subsystem"              test "$(field Subsystem)" = 00000003
check "OS version 5.2"                 test "$(field MajorOSystemVersion).$(field MinorOSystemVersion)" = 5.2
check "subsystem version 5.2"          test "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" = 5.2
check "ASLR: dynamic base"             has "$headers" $'^\t+DYNAMIC_BASE$'
check "ASLR: high-entropy VA"          has "$headers" $'^\t+HIGH_ENTROPY_VA$'
check "ASLR: relocations kept"         has "$headers" $'^Entry 5 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Base Relocation'
check "NX compatible"                  has "$headers" $'^\t+NX_COMPAT$'
check "no link time stamp"             has "$headers" $'^Time/Date\t+Thu Jan  1 00:00:00 1970$'
check "no delay-load imports"          has "$headers" $'^Entry d 0+ 0+ Delay Import Directory$'
check "imports from exactly kernel32, msvcrt and newdev" \
    test "$(cut -d'!' -f1 <<<"$imports" | sort -u | tr '\n' ' ')" = "kernel32.dll msvcrt.dll newdev.dll "
check "newdev.dll: only UpdateDriverForPlugAndPlayDevicesA, bound at load time" \
    test "$(grep '^newdev.dll!' <<<"$imports")" = "newdev.dll!UpdateDriverForPlugAndPlayDevicesA"
check "kernel32.dll!GetLastError"      has "$imports" '^kernel32\.dll!GetLastError$'
check "no run-time lookup of functions" lacks "$imports" '!(LoadLibrary|GetProcAddress|GetModuleHandle)'
check "msvcrt.dll!printf prints the line" has "$imports" '^msvcrt\.dll!printf$'
check "no printf turned into puts"     lacks "$imports" '!puts$'
check 'format string "success\n"'      c_string $'success\n'
check 'format string "error: 1\n"'     c_string $'error: 1\n'
check 'format string "error: %d\n"'    c_string $'error: %d\n'
check "manifest resource"              has "$headers" '^018   Entry: ID: 0x000018'
check "manifest requests asInvoker"    grep -qaF 'level="asInvoker"' "$exe"
check "version resource"               has "$headers" '^010   Entry: ID: 0x000010'
for field in FileDescription ProductName FileVersion ProductVersion LegalCopyright; do
    check "version resource: $field"   has "$versioninfo" "^$field\$"
done
check "small: under 64 KiB"            test "$(stat -c %s "$exe")" -lt 65536

[ "$failures" -eq 0 ] || { echo "$failures declaration(s) missing from $exe" >&2; exit 1; }
