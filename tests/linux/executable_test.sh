#!/usr/bin/env bash
# executable_test.sh ARCH READOBJ EXE VERSION LICENSE
# Checks what the built executable for ARCH (x64 or arm64) declares in its headers, import
# table, load configuration, debug directory and resources, as llvm-readobj (READOBJ),
# wrestool, exiftool and xmllint read them from the file itself.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: executable_test.sh ARCH READOBJ EXE VERSION LICENSE" >&2; exit 2; }
arch=$1 readobj=$2 exe=$3 version=$4 copyright=$(grep -m1 '^Copyright' "$5")
case $arch in
    # machine, lowest Windows version, manifest's processorArchitecture, largest size
    x64)   machine=IMAGE_FILE_MACHINE_AMD64 windows=5.2 manifest_arch=amd64 most_bytes=65536 ;;
    arm64) machine=IMAGE_FILE_MACHINE_ARM64 windows=6.2 manifest_arch=arm64 most_bytes=24576 ;;
    *) echo "executable_test.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
for tool in "$readobj" wrestool exiftool xmllint; do
    command -v "$tool" >/dev/null || { echo "executable_test.sh: $tool is missing (scripts/install-packages)" >&2; exit 2; }
done

headers=$("$readobj" --file-headers "$exe")
# One "dll!function" line per import, DLL names in lower case.
imports=$("$readobj" --coff-imports "$exe" |
          awk '/^Import \{/ { dll = "" } $1 == "Name:" { dll = tolower($2) } $1 == "Symbol:" && dll { print dll "!" $2 }')
load_config=$("$readobj" --coff-load-config "$exe")
debug_directory=$("$readobj" --coff-debug-directory "$exe")
resources=$(wrestool -l "$exe")
manifest=$(wrestool -x --raw --type=24 --name=1 "$exe")

failures=0
field() { awk -v name="$1:" '$1 == name { print $2; exit }' <<<"$headers"; }
check() { # description, then a command that succeeds when the declaration holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
has() { grep -qE -- "$2" <<<"$1"; }
lacks() { ! grep -qE -- "$2" <<<"$1"; }
# A NUL-terminated string in the file that is exactly TEXT and a newline.
c_line() { LC_ALL=C grep -qazP -- "\\A\\Q$1\\E\\n\\z" "$exe"; }
# The load configuration's DependentLoadFlags (a WORD at 0x38) lies inside the
# directory only when the directory's own Size field reaches past it.
covers_dependent_load_flags() {
    local size; size=$(awk '$1 == "Size:" { print $2 }' <<<"$load_config")
    [ -n "$size" ] && (( size >= 0x3A ))
}
# A value in the manifest along a path of elements, each PREFIX:NAME with its namespace
# below, ending in an element (its text) or an @attribute. Comments never match.
declare -A ns=([v1]=urn:schemas-microsoft-com:asm.v1 [v3]=urn:schemas-microsoft-com:asm.v3
               [ws]=http://schemas.microsoft.com/SMI/2019/WindowsSettings
               [c1]=urn:schemas-microsoft-com:compatibility.v1)
manifest_value() {
    local xpath= step
    for step; do
        case $step in
            @*) xpath+=/$step ;;
            *) xpath+="/*[local-name()='${step#*:}' and namespace-uri()='${ns[${step%%:*}]}']" ;;
        esac
    done
    xmllint --xpath "string($xpath)" - <<<"$manifest" 2>/dev/null
}
execution_level=(v1:assembly v3:trustInfo v3:security v3:requestedPrivileges v3:requestedExecutionLevel)
version_info() { exiftool -n -s -s -s "-$1" "$exe"; }
# The version resource's string block key and its VarFileInfo Translation, both as
# eight hex digits (language, code page): Windows finds the strings by the Translation.
version_resource=$(wrestool -x --raw --type=16 --name=1 "$exe" | od -An -v -tx1 | tr -d ' \n')
utf16() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n' | sed 's/../&00/g'; }
string_block_key() { # the key of the StringTable after "StringFileInfo": 8 UTF-16 hex digits
    grep -oP "$(utf16 StringFileInfo)0000(0000)?[0-9a-f]{12}\K([0-9a-f]{2}00){8}" <<<"$version_resource" |
        sed 's/\(..\)00/\\x\1/g' | xargs -0 printf '%b' | tr a-f A-F; }
translation() { # the DWORD after "Translation" and its padding: language WORD, code page WORD
    grep -oP "$(utf16 Translation)0000(0000)?\K[0-9a-f]{8}" <<<"$version_resource" |
        sed -E 's/^(..)(..)(..)(..)$/\2\1\4\3/' | tr a-f A-F; }

check "PE32+ for $arch"                test "$(field Machine)" = "$machine"
check "PE32+ optional header"          test "$(field Magic)" = 0x20B
check "console subsystem"              test "$(field Subsystem)" = IMAGE_SUBSYSTEM_WINDOWS_CUI
check "OS version $windows"            test "$(field MajorOperatingSystemVersion).$(field MinorOperatingSystemVersion)" = "$windows"
check "subsystem version $windows"     test "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" = "$windows"
check "ASLR: dynamic base"             has "$headers" '^ +IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE '
check "ASLR: high-entropy VA"          has "$headers" '^ +IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA '
check "ASLR: relocations kept"         test "$(field BaseRelocationTableSize)" != 0x0
check "NX compatible"                  has "$headers" '^ +IMAGE_DLL_CHARACTERISTICS_NX_COMPAT '
if [ "$arch" = x64 ]; then
check "CET shadow-stack compatible"    has "$debug_directory" '^ +IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT \(0x1\)$'
else # CET is an x86 feature
check "no CET compatibility claimed"   lacks "$debug_directory" 'CET_COMPAT'
fi
check "no link time stamp"             has "$headers" '^ +TimeDateStamp: .* \(0x0\)$'
check "load-time imports from System32 only: DependentLoadFlags 0x800" \
    has "$load_config" '^ +DependentLoadFlags: 0x800$'
check "load configuration large enough to hold DependentLoadFlags" covers_dependent_load_flags
check "no delay-load imports"          test "$(field DelayImportDescriptorRVA)" = 0x0
check "imports from exactly kernel32, msvcrt and newdev" \
    test "$(cut -d'!' -f1 <<<"$imports" | sort -u | tr '\n' ' ')" = "kernel32.dll msvcrt.dll newdev.dll "
check "newdev.dll: only UpdateDriverForPlugAndPlayDevicesA, bound at load time" \
    test "$(grep '^newdev.dll!' <<<"$imports")" = "newdev.dll!UpdateDriverForPlugAndPlayDevicesA"
check "kernel32.dll!GetLastError"      has "$imports" '^kernel32\.dll!GetLastError$'
check "no run-time lookup of functions" lacks "$imports" '!(LoadLibrary|GetProcAddress|GetModuleHandle)'
check "msvcrt.dll!printf prints the line" has "$imports" '^msvcrt\.dll!printf$'
check "no printf turned into puts"     lacks "$imports" '!puts$'
check 'format string "success\n"'      c_line 'success'
check 'format string "error: 1\n"'     c_line 'error: 1'
check 'format string "error: %d\n"'    c_line 'error: %d'

check "one manifest, resource type 24 with ID 1" \
    test "$(grep -c -- '--type=24 ' <<<"$resources")" = 1 -a -n "$(grep -- '^--type=24 --name=1 ' <<<"$resources")"
check "manifest is well-formed XML"    xmllint --noout - <<<"$manifest"
check "manifest: asInvoker"           test "$(manifest_value "${execution_level[@]}" @level)" = asInvoker
check 'manifest: uiAccess="false"'     test "$(manifest_value "${execution_level[@]}" @uiAccess)" = false
check "manifest: $manifest_arch"       test "$(manifest_value v1:assembly v1:assemblyIdentity @processorArchitecture)" = "$manifest_arch"
check "manifest: version $version.0, in the four parts Windows requires" \
    test "$(manifest_value v1:assembly v1:assemblyIdentity @version)" = "$version.0"
check "manifest: supports Windows 10 and 11" \
    test "$(xmllint --xpath "count(//*[local-name()='supportedOS' and namespace-uri()='${ns[c1]}'][@Id='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'])" - <<<"$manifest")" = 1
check "manifest: UTF-8 as the process code page" \
    test "$(manifest_value v1:assembly v3:application v3:windowsSettings ws:activeCodePage)" = UTF-8

check "version resource, type 16 with ID 1" has "$resources" '^--type=16 --name=1 '
check "version resource: an application (VFT_APP)"  test "$(version_info ObjectFileType)" = 1
check "version resource: file version $version"     test "$(version_info FileVersionNumber)" = "$version.0"
check "version resource: product version $version"  test "$(version_info ProductVersionNumber)" = "$version.0"
check "version resource: FileVersion string"        test "$(version_info FileVersion)" = "$version"
check "version resource: ProductVersion string"     test "$(version_info ProductVersion)" = "$version"
check "version resource: OriginalFilename"          test "$(version_info OriginalFileName)" = pnpinstall.exe
check "version resource: InternalName"              test "$(version_info InternalName)" = pnpinstall
check "version resource: a release (no debug, pre-release or patched flags)" test "$(version_info FileFlags)" = 0
check "version resource: Translation 040904B0, as its string block" \
    test "$(translation)" = 040904B0 -a "$(string_block_key)" = 040904B0
check "version resource: ProductName"               test "$(version_info ProductName)" = pnpinstall
check "version resource: FileDescription"           test -n "$(version_info FileDescription)"
check "version resource: LegalCopyright as in LICENSE" test "$(version_info LegalCopyright)" = "$copyright"
check "small: at most $((most_bytes / 1024)) KiB"   test "$(stat -c %s "$exe")" -le "$most_bytes"

[ "$failures" -eq 0 ] || { echo "$failures declaration(s) missing from $exe" >&2; exit 1; }
