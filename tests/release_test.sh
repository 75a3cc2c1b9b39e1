#!/usr/bin/env bash
# release_test.sh SOURCE_DIR VERSION BUILT_EXE STANDIN_DLL WINE_PREFIX
# Makes releases of the source's commit with scripts/release, in clones of it in folders
# of other names and depths: unsigned twice (identical, complete, checksummed, the
# ordinary build's executable), signed with a throwaway certificate (valid, still
# working, verifiable against the source, tampering caught), and refused on bad input.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: release_test.sh SOURCE_DIR VERSION BUILT_EXE STANDIN_DLL WINE_PREFIX" >&2; exit 2; }
source_dir=$1 version=$2 built=$3 standin=$4 prefix=$(realpath -m "$5")
wine_run=$(realpath "$(dirname "$0")/../scripts/wine-run")
name=pnpinstall-$version-win64

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
has() { grep -qE -- "$2" <<<"$1"; }
contains() { grep -qF -- "$2" <<<"$1"; }
lacks() { ! grep -qF -- "$2" <<<"$1"; }
commit=$(git -C "$source_dir" rev-parse HEAD)
first=$work/a/pnpinstall second=$work/b/deeper/checkout
git clone -q "$source_dir" "$first"
git clone -q "$source_dir" "$second"
release() { "$1/scripts/release" "${@:2}" 2>&1; } # CLONE [ARGUMENT...]

# Refused, with a clear message and no dist/, before anything is built.
refused() { # DESCRIPTION MESSAGE [VARIABLE=VALUE...]
    local what=$1 message=$2; shift 2
    local output status
    output=$(env "$@" "$second/scripts/release" 2>&1) && status=0 || status=$?
    check "refused: $what" test "$status" -ne 0
    check "refused: $what: says so" has "$output" "$message"
    check "refused: $what: no dist/" test ! -e "$second/dist"
}
mkdir "$work/certificate"
(cd "$work/certificate" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=pnpinstall test signer" \
        -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature 2>/dev/null &&
    openssl pkcs12 -export -inkey key.pem -in cert.pem -out sign.pfx -passout pass:throwaway)
pfx=$work/certificate/sign.pfx
refused "a missing certificate file" "cannot read the certificate file" PNPINSTALL_SIGN_PFX="$work/none.pfx"
refused "a wrong password" "wrong password" PNPINSTALL_SIGN_PFX="$pfx" PNPINSTALL_SIGN_PASSWORD=wrong
echo "a change" >>"$second/README.md"
refused "signing a dirty work tree" "uncommitted changes" PNPINSTALL_SIGN_PFX="$pfx" PNPINSTALL_SIGN_PASSWORD=throwaway
git -C "$second" checkout -q README.md

# Unsigned, twice.
output=$(release "$first") && status=0 || status=$?
check "unsigned release" test "$status" -eq 0
[ "$status" -eq 0 ] || sed 's/^/  /' <<<"$output"
check "unsigned release: says so" has "$(tail -1 <<<"$output")" 'UNSIGNED'
output=$(release "$second") && status=0 || status=$?
check "second unsigned release, elsewhere" test "$status" -eq 0
zip=$first/dist/$name.zip
check "two releases, identical zips"   cmp "$zip" "$second/dist/$name.zip"
check "zip listing" test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = \
    "$name/LICENSE $name/README.md $name/pnpinstall.exe $name/pnpinstall.spdx.json "
check "dist/ holds the zip and SHA256SUMS only" test "$(ls "$first/dist" | tr '\n' ' ')" = "SHA256SUMS $name.zip "
(cd "$first/dist" && unzip -q "$name.zip")
check "SHA256SUMS verifies the zip and the executable" \
    test "$(cd "$first/dist" && sha256sum -c SHA256SUMS 2>&1)" = "$name.zip: OK"$'\n'"$name/pnpinstall.exe: OK"
unpacked=$first/dist/$name
check "the zip's executable is the ordinary build's" cmp "$unpacked/pnpinstall.exe" "$built"
check "README and LICENSE are the commit's" \
    bash -c 'cmp <(git -C "$0" show HEAD:README.md) "$1/README.md" && cmp <(git -C "$0" show HEAD:LICENSE) "$1/LICENSE"' \
    "$source_dir" "$unpacked"
sbom=$(cat "$unpacked/pnpinstall.spdx.json")
field() { jq -r "$1" <<<"$sbom"; }
check "SBOM: SPDX 2.3"                 test "$(field .spdxVersion)" = SPDX-2.3
check "SBOM: the executable's SHA-256" \
    test "$(field '.files[] | select(.fileName == "./pnpinstall.exe") | .checksums[] | select(.algorithm == "SHA256") | .checksumValue')" \
         = "$(sha256sum <"$built" | cut -d' ' -f1)"
check "SBOM: the source commit"        has "$(field '.packages[] | select(.name == "pnpinstall") | .sourceInfo')" "$commit"
check "SBOM: the mingw-w64 run-time, at the installed version" \
    test "$(field '.packages[] | select(.name == "mingw-w64-x86-64-dev") | .versionInfo')" \
         = "$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)"
check "SBOM: the compiler run-time (libgcc)" has "$(field '.packages[].comment // empty')" '/libgcc\.a'
check "SBOM: each Debian package is linked into the executable or built it" \
    test "$(field '[.relationships[] | select(.relationshipType == "STATIC_LINK" or .relationshipType == "BUILD_TOOL_OF")] | length')" \
         = "$(field '[.packages[] | select(.name != "pnpinstall")] | length')"
check "SBOM: the Debian release it was built on" \
    contains "$(field .creationInfo.comment)" "Built on $(. /etc/os-release && echo "$PRETTY_NAME") with"
llvm=$(awk -F= '/^PNPINSTALL_LLVM_VERSION:/ { print $2 }' "$(dirname "$built")/../CMakeCache.txt")
for tool in "clang-$llvm" "lld-$llvm" binutils-mingw-w64-x86-64; do
    check "SBOM: $tool built it, at the installed version" \
        test "$(field ".packages[] | select(.name == \"$tool\") | .versionInfo")" = "$(dpkg-query -W -f='${Version}' "$tool")"
done

# Signed.
output=$(PNPINSTALL_SIGN_PFX=$pfx PNPINSTALL_SIGN_PASSWORD=throwaway release "$first") && status=0 || status=$?
check "signed release" test "$status" -eq 0
[ "$status" -eq 0 ] || sed 's/^/  /' <<<"$output"
check "signed release: says by whom" has "$(tail -1 <<<"$output")" 'signed by CN = pnpinstall test signer'
mkdir "$work/run"
signed=$work/run/pnpinstall.exe
unzip -p "$zip" "$name/pnpinstall.exe" >"$signed"
signature_verifies() { osslsigncode verify -CAfile "$work/certificate/cert.pem" -in "$signed" >/dev/null 2>&1; }
check "Authenticode signature verifies against the certificate" signature_verifies
cp "$standin" "$work/run/newdev.dll"
printf '%s\r\n' '@echo off' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' 'echo %ERRORLEVEL%' \
    'set NEWDEV_STANDIN_RESULT=0' 'set NEWDEV_STANDIN_LAST_ERROR=0xE000020B' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' \
    'echo %ERRORLEVEL%' 'set NEWDEV_STANDIN_LAST_ERROR=0' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' 'echo %ERRORLEVEL%' \
    'pnpinstall' 'echo %ERRORLEVEL%' >"$work/run/outcomes.cmd"
# cmd's own status is the last command's: it says nothing here.
outcomes=$(cd "$work/run" && WINEDLLOVERRIDES=newdev=n "$wine_run" "$prefix" cmd /c outcomes.cmd | tr -d '\r' | tr '\n' ' ') || true
check "the signed executable still behaves" \
    test "$outcomes" = "success 0 error: -536870389 -536870389 error: 1603 1603 error: 1 1 "
output=$(release "$second" --verify "$zip") && status=0 || status=$?
check "--verify accepts the signed zip" test "$status" -eq 0
[ "$status" -eq 0 ] || sed 's/^/  /' <<<"$output"
check "--verify: says it matches" has "$output" "matches commit $commit"
# A changed byte, in a release that says it was built with another compiler.
(cd "$work/run" && mkdir "$name" && cp "$signed" "$name/" &&
    printf '\x90' | dd of="$name/pnpinstall.exe" bs=1 seek=$((0x500)) conv=notrunc status=none &&
    unzip -p "$zip" "$name/pnpinstall.spdx.json" |
        jq --arg clang "clang-$llvm" '(.packages[] | select(.name == $clang) | .versionInfo) = "1:0.0-other"' \
        >"$name/pnpinstall.spdx.json" &&
    cp "$zip" tampered.zip && zip -q tampered.zip "$name/pnpinstall.exe" "$name/pnpinstall.spdx.json")
output=$(release "$second" --verify "$work/run/tampered.zip") && status=0 || status=$?
check "--verify rejects an executable changed by one byte" test "$status" -ne 0
where="does NOT match commit $commit: its executable differs from byte $((0x500 + 1)) (offset 0x500)"
check "--verify: says where it differs" contains "$output" "$where"
check "--verify: names the package this machine has at another version" \
    contains "$output" "clang-$llvm: the release was built with 1:0.0-other, this machine has $(dpkg-query -W -f='${Version}' "clang-$llvm")"
check "--verify: names no package that is the same" lacks "$output" "lld-$llvm: the release"
[ "$failures" -eq 0 ] || sed 's/^/  /' <<<"$output"

[ "$failures" -eq 0 ] || { echo "$failures release check(s) failed" >&2; exit 1; }
