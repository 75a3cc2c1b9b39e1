#!/usr/bin/env bash
# release_test.sh SOURCE_DIR VERSION X64_EXE ARM64_EXE STANDIN_DLL WINE_PREFIX READOBJ
# Makes releases of the source's committed HEAD with scripts/release, in clones of it in
# folders of other names and depths: unsigned twice (identical, complete, checksummed,
# the ordinary builds' executables in the zips and the test kits, a valid and true bill
# of materials, a README that names the right zip for each machine); copies of one signed
# with `--sign` and throwaway certificates (SHA-256, valid, still working, in the kits too,
# checksummed anew, verifiable against the source, tampering caught); and bad input
# refused without touching an existing dist/.
set -euo pipefail
[ $# -eq 7 ] || { echo "usage: release_test.sh SOURCE_DIR VERSION X64_EXE ARM64_EXE STANDIN_DLL WINE_PREFIX READOBJ" >&2; exit 2; }
source_dir=$1 version=$2 standin=$5 prefix=$(realpath -m "$6")
declare -A built=([x64]=$3 [arm64]=$4) namespaces
readobj=$7
here=$(realpath "$(dirname "$0")")
wine_run=$here/../../scripts/wine-run

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
first=$work/a/pnpinstall second=$work/b/deeper/checkout signed=$work/c/signed legacy=$work/d/legacy
for clone in "$first" "$second" "$signed" "$legacy"; do git clone -q "$source_dir" "$clone"; done
release() { "$1/scripts/release" "${@:2}" 2>&1; } # CLONE [ARGUMENT...]
# Releases and verifications run side by side (they take a core each): started NAME
# COMMAND... starts one, its output in $work/NAME.out; finished NAME waits for it and
# returns its status.
declare -A running
started() { local name=$1; shift; "$@" >"$work/$name.out" 2>&1 & running[$name]=$!; }
finished() { wait "${running[$1]}"; }
name() { echo "pnpinstall-$version-win-$1"; }     # ARCH
kit() { echo "pnpinstall-$version-tests-win-$1"; } # ARCH

# Throwaway code-signing certificates: one in today's PKCS#12 form, one with the legacy
# encryption (RC2, 3DES) that older tools write and OpenSSL 3 opens only with -legacy.
mkdir "$work/certificate"
(cd "$work/certificate" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=pnpinstall test signer" \
        -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature 2>/dev/null &&
    openssl pkcs12 -export -inkey key.pem -in cert.pem -out sign.pfx -passout pass:throwaway &&
    openssl pkcs12 -export -legacy -inkey key.pem -in cert.pem -out legacy.pfx -passout pass:throwaway)
pfx=$work/certificate/sign.pfx

# Refused, with a clear message, before anything is built or signed; an earlier dist/
# stays as it was.
mkdir "$second/dist" && echo "an earlier release" >"$second/dist/earlier"
refused() { # CLONE DESCRIPTION MESSAGE [VARIABLE=VALUE...] [-- ARGUMENT...]
    local clone=$1 what=$2 message=$3 arguments=() output status before; shift 3
    while [ $# -gt 0 ] && [ "$1" != -- ]; do arguments+=("$1"); shift; done
    [ $# -eq 0 ] || shift
    before=$(cd "$clone/dist" 2>/dev/null && find . -type f -exec sha256sum {} + | sort) || true
    output=$(env "${arguments[@]}" "$clone/scripts/release" "$@" 2>&1) && status=0 || status=$?
    check "refused: $what" test "$status" -ne 0
    check "refused: $what: says so" has "$output" "$message"
    check "refused: $what: dist/ untouched" \
        test "$(cd "$clone/dist" 2>/dev/null && find . -type f -exec sha256sum {} + | sort)" = "$before"
}
refused "$second" "a missing certificate file" "cannot read the certificate file" PNPINSTALL_SIGN_PFX="$work/none.pfx"
refused "$second" "a wrong password" "wrong password" PNPINSTALL_SIGN_PFX="$pfx" PNPINSTALL_SIGN_PASSWORD=wrong
refused "$signed" "signing with no release made" "no release in dist/" PNPINSTALL_SIGN_PFX="$pfx" \
    PNPINSTALL_SIGN_PASSWORD=throwaway -- --sign
refused "$signed" "signing without a certificate" "needs PNPINSTALL_SIGN_PFX" -- --sign

# Two unsigned releases side by side: the second as another builder makes it, with another
# home folder and the ARM64 toolchain reached through another path (the same files), from
# a work tree with an uncommitted change to the command, which must not reach the release,
# and over an earlier dist/, which it replaces.
sed -i 's/printf("success\\n")/printf("done\\n")/' "$second/pnpinstall/main.cpp"
toolchain=$(awk -F= '/^PNPINSTALL_ARM64_TOOLCHAIN:/ { print $2 }' "$(dirname "${built[arm64]}")/../CMakeCache.txt")
# That path is the same on every run, beside the build tree, so that the compile cache
# keeps what the test programs compile to there (the command is compiled afresh anyway):
# a path of its own each time made every run compile the ARM64 test programs again.
cache_elsewhere=$(realpath "$(dirname "${built[x64]}")/..")/cache-elsewhere
mkdir -p "$work/elsewhere/home" && ln -sfn "$(dirname "$toolchain")" "$cache_elsewhere"
# The first with ccache's log: which compilations went through the compile cache.
started first env CCACHE_LOGFILE="$work/ccache.log" "$first/scripts/release"
started second env HOME="$work/elsewhere/home" PNPINSTALL_CACHE="$cache_elsewhere" "$second/scripts/release"
finished second && status=0 || status=$?
check "second unsigned release, by another builder elsewhere, uncommitted edits aside" test "$status" -eq 0
[ "$status" -eq 0 ] || sed 's/^/  /' "$work/second.out"
git -C "$second" checkout -q pnpinstall/main.cpp
finished first && status=0 || status=$?
check "unsigned release" test "$status" -eq 0
[ "$status" -eq 0 ] || sed 's/^/  /' "$work/first.out"
check "unsigned release: says so" has "$(tail -1 "$work/first.out")" 'UNSIGNED'
check "the command is compiled, never taken from the compile cache" \
    bash -c '! grep -q "Source file: .*/pnpinstall/main\.cpp$" "$0"' "$work/ccache.log"
check "the test programs go through the compile cache" grep -q "Source file: .*/install_test\.cpp$" "$work/ccache.log"
check "two releases, identical SHA256SUMS" cmp "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"
release_files="SHA256SUMS $(kit arm64).zip $(kit x64).zip $(name arm64).zip $(name x64).zip "
check "dist/ holds the two zips, the two test kits and SHA256SUMS only" \
    test "$(ls "$first/dist" | sort | tr '\n' ' ')" = "$release_files" -a "$(ls "$second/dist" | sort | tr '\n' ' ')" = "$release_files"
# SHA256SUMS checks every file of the release in DIST, and each executable in its zip.
sums_hold() { # DIST
    rm -rf "$work/sums" && mkdir "$work/sums" && cp "$1"/* "$work/sums/" &&
        (cd "$work/sums" && unzip -q "$(name x64).zip" && unzip -q "$(name arm64).zip") &&
        test "$(cd "$work/sums" && sha256sum -c SHA256SUMS 2>&1 | sort | tr '\n' ' ')" = \
             "$(kit arm64).zip: OK $(kit x64).zip: OK $(name arm64).zip: OK $(name arm64)/pnpinstall.exe: OK $(name x64).zip: OK $(name x64)/pnpinstall.exe: OK "
}
check "SHA256SUMS verifies the zips, the test kits and both executables" sums_hold "$first/dist"

# The unsigned release, signed on its own: copies of it, once with each kind of PKCS#12
# file, side by side; the checks further below read the one signed with today's kind.
for certificate in sign legacy; do
    clone=$signed; [ "$certificate" = sign ] || clone=$legacy
    cp -a "$first/dist" "$clone/dist"
    started "$certificate" env PNPINSTALL_SIGN_PFX="$work/certificate/$certificate.pfx" PNPINSTALL_SIGN_PASSWORD=throwaway \
        "$clone/scripts/release" --sign
done
(cd "$first/dist" && unzip -q "$(name x64).zip" && unzip -q "$(name arm64).zip")

# What each architecture's bill of materials must say: the packages linked into the
# executable, exactly, and which Debian release and toolchain built it.
llvm=$(awk -F= '/^PNPINSTALL_LLVM_VERSION:/ { print $2 }' "$(dirname "${built[x64]}")/../CMakeCache.txt")
gcc_package=$(dpkg -S "$(realpath /usr/lib/gcc/x86_64-w64-mingw32/*-posix/libgcc.a | head -1)" | cut -d: -f1)
declare -A linked_packages=([x64]="$gcc_package mingw-w64-x86-64-dev" [arm64]="llvm-toolchain-$llvm mingw-w64")
declare -A tool_packages=([x64]="binutils-mingw-w64-x86-64 clang-$llvm lld-$llvm" [arm64]="clang-$llvm lld-$llvm llvm-$llvm")
# The libraries that may go into the command: its three DLLs' import libraries, the C
# run-time's start-up and static parts, and the compiler's run-time library.
allowed_libraries='^(crt2\.o|crtbegin\.o|crtend\.o|lib(kernel32|msvcrt|msvcrt-os|newdev|mingw32|mingwex|gcc)\.a|libclang_rt\.builtins-aarch64\.a)$'
for arch in x64 arm64; do
    zip=$first/dist/$(name "$arch").zip unpacked=$first/dist/$(name "$arch")
    check "$arch: two releases, identical zips" cmp "$zip" "$second/dist/$(name "$arch").zip"
    check "$arch: zip listing" test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = \
        "$(name "$arch")/ $(name "$arch")/LICENSE $(name "$arch")/README.md $(name "$arch")/pnpinstall.exe $(name "$arch")/pnpinstall.spdx.json "
    check "$arch: two releases, identical test kits" cmp "$first/dist/$(kit "$arch").zip" "$second/dist/$(kit "$arch").zip"
    check "$arch: the test kit's executable is the zip's" \
        cmp <(unzip -p "$first/dist/$(kit "$arch").zip" "$(kit "$arch")/pnpinstall.exe") "$unpacked/pnpinstall.exe"
    check "$arch: the zip's executable is the ordinary build's, from the commit" cmp "$unpacked/pnpinstall.exe" "${built[$arch]}"
    check "$arch: README and LICENSE are the commit's" \
        bash -c 'cmp <(git -C "$0" show HEAD:README.md) "$1/README.md" && cmp <(git -C "$0" show HEAD:LICENSE) "$1/LICENSE"' \
        "$source_dir" "$unpacked"
    sbom=$unpacked/pnpinstall.spdx.json
    field() { jq -r "$1" "$sbom"; }
    problems=$(jq -r -f "$here/spdx_problems.jq" "$sbom")
    check "$arch: SBOM: a valid SPDX 2.3 document" test -z "$problems"
    [ -z "$problems" ] || sed 's/^/  /' <<<"$problems"
    check "$arch: SBOM: the executable's SHA-1, SHA-256 and package verification code" \
        test "$(field '.files[] | select(.fileName == "./pnpinstall.exe") | .checksums | map(.checksumValue) | join(" ")')
              $(field '.packages[] | select(.name == "pnpinstall") | .packageVerificationCode.packageVerificationCodeValue')" = \
             "$(sha1sum <"${built[$arch]}" | cut -c1-40) $(sha256sum <"${built[$arch]}" | cut -c1-64)
              $(sha1sum <"${built[$arch]}" | cut -c1-40 | tr -d '\n' | sha1sum | cut -c1-40)"
    check "$arch: SBOM: the source commit" has "$(field '.packages[] | select(.name == "pnpinstall") | .sourceInfo')" "$commit"
    check "$arch: SBOM: MIT for pnpinstall and its executable, no assertion for Debian's packages" \
        test "$(field '[.packages[] | select(.name == "pnpinstall") | .licenseConcluded, .licenseDeclared]
                       + [.files[].licenseConcluded] | unique | join(" ")')
              $(field '[.packages[] | select(.name != "pnpinstall") | .licenseConcluded, .licenseDeclared] | unique | join(" ")')" = \
             "MIT
              NOASSERTION"
    check "$arch: SBOM: exactly the Debian packages linked in: ${linked_packages[$arch]}" \
        test "$(field '[.relationships[] | select(.relationshipType == "STATIC_LINK") | .relatedSpdxElement
                       | ltrimstr("SPDXRef-deb-")] | sort | join(" ")')" = "${linked_packages[$arch]}"
    check "$arch: SBOM: only libraries that can be in the command" \
        bash -c 'jq -r ".packages[].comment // empty | select(startswith(\"Linked into\")) | sub(\"^[^:]*: \"; \"\") | split(\", \")[]" "$0" |
                 xargs -n1 basename | grep -vE "$1" | { ! grep .; }' "$sbom" "$allowed_libraries"
    check "$arch: SBOM: the Debian release it was built on" \
        contains "$(field .creationInfo.comment)" "Built on $(. /etc/os-release && echo "$PRETTY_NAME") with"
    check "$arch: SBOM: the packages that built it: ${tool_packages[$arch]}" \
        test "$(field '[.relationships[] | select(.relationshipType == "BUILD_TOOL_OF") | .spdxElementId
                       | ltrimstr("SPDXRef-deb-")] | sort | join(" ")')" = "${tool_packages[$arch]}"
    for package in ${tool_packages[$arch]} ${linked_packages[$arch]}; do
        case $package in
            mingw-w64|llvm-toolchain-*) installed=$(grep "^$package " "$toolchain/source-packages" | cut -d' ' -f2)
                                        debian_arch=source ;;
            *) installed=$(dpkg-query -W -f='${Version}' "$package") debian_arch=$(dpkg-query -W -f='${Architecture}' "$package") ;;
        esac
        check "$arch: SBOM: $package at the version it was built with, $installed" \
            test "$(field ".packages[] | select(.name == \"$package\") | .versionInfo")" = "$installed"
        check "$arch: SBOM: $package's package URL, for Debian's $debian_arch" \
            test "$(field ".packages[] | select(.name == \"$package\") | .externalRefs[] | select(.referenceType == \"purl\")
                          | .referenceLocator")" = "pkg:deb/debian/$package@$installed?arch=$debian_arch"
    done
    check "$arch: SBOM: the bill of materials of $(name "$arch")" test "$(field .name)" = "$(name "$arch")"
    namespaces[$arch]=$(field .documentNamespace)
    check "$arch: SBOM: a namespace that names the commit" contains "${namespaces[$arch]}" "$commit"
    check "$arch: SBOM: pnpinstall at the project's version, $version" \
        test "$(field '.packages[] | select(.name == "pnpinstall") | .versionInfo')" = "$version"
    check "$arch: SBOM: the copyright of pnpinstall and its executable is LICENSE's" \
        test "$(field '[.packages[] | select(.name == "pnpinstall") | .copyrightText] + [.files[].copyrightText]
                       | unique | join(" | ")')" = "$(git -C "$source_dir" show HEAD:LICENSE | grep -m1 '^Copyright')"
done
check "SBOM: each zip's bill of materials has a namespace of its own" test "${namespaces[x64]}" != "${namespaces[arm64]}"

# The README's table of which zip fits which machine, against the zips and the machine
# type of the executable in each; and every zip name the README shows is one of them.
declare -A machine_type=([x86-64]=IMAGE_FILE_MACHINE_AMD64 [ARM64]=IMAGE_FILE_MACHINE_ARM64)
listed=()
while IFS='|' read -r _ machine zip _; do
    machine=$(awk '{ print $1 }' <<<"$machine") zip=$(sed "s/[\` ]//g; s/<version>/$version/" <<<"$zip")
    listed+=("$zip")
    check "README: the zip for $machine machines, $zip, holds an executable for them" test "$("$readobj" --file-headers \
        "$first/dist/${zip%.zip}/pnpinstall.exe" 2>/dev/null | awk '$1 == "Machine:" { print $2 }')" = "${machine_type[$machine]:-none}"
done < <(awk '/^## / { inside = ($0 == "## Getting it on Windows") } inside && /^\| / && !/^\|---/' "$first/README.md" | tail -n +2)
check "README: the table lists every zip of the release" \
    test "$(printf '%s\n' "${listed[@]}" | sort | tr '\n' ' ')" = "$(name arm64).zip $(name x64).zip "
check "README: every zip it names by version is one of this release" \
    bash -c 'grep -oE "pnpinstall-[0-9][0-9.]*[0-9]-(tests-)?win-[a-z0-9]+" "$0" | sort -u | { ! grep -vxE "$1"; }' \
    "$first/README.md" "$(name x64)|$(name arm64)|$(kit x64)|$(kit arm64)"
started verify_unsigned release "$second" --verify "$first/dist/$(name arm64).zip"

for certificate in legacy sign; do
    finished "$certificate" && status=0 || status=$?
    check "signed release ($certificate.pfx)" test "$status" -eq 0
    [ "$status" -eq 0 ] || sed 's/^/  /' "$work/$certificate.out"
    check "signed release ($certificate.pfx): says by whom" has "$(tail -1 "$work/$certificate.out")" 'signed .*by CN = pnpinstall test signer'
done
check "signed release: SHA256SUMS written anew, verifies every file" sums_hold "$signed/dist"
# Signing changes the executables and the bills of materials, and nothing else: every
# other file, and every date, stays the unsigned release's.
entries() { unzip -Z -T "$1" | awk '/^[-d]/ { print $1, $(NF - 1), $NF }'; } # ZIP: modes, dates and names
for zip in "$(name x64).zip" "$(name arm64).zip" "$(kit x64).zip" "$(kit arm64).zip"; do
    check "signed release: $zip: the same files with the same modes and dates" cmp <(entries "$first/dist/$zip") <(entries "$signed/dist/$zip")
    check "signed release: $zip: only the executable and its bill of materials changed" test "$(
        for file in $(unzip -Z1 "$first/dist/$zip" | grep -v '/$'); do
            cmp -s <(unzip -p "$first/dist/$zip" "$file") <(unzip -p "$signed/dist/$zip" "$file") || basename "$file"
        done | tr '\n' ' ')" = "$(case $zip in *-tests-*) echo "pnpinstall.exe " ;; *) echo "pnpinstall.exe pnpinstall.spdx.json " ;; esac)"
done
refused "$signed" "signing a signed release" "signed already" PNPINSTALL_SIGN_PFX="$pfx" PNPINSTALL_SIGN_PASSWORD=throwaway -- --sign
cp -a "$first/dist" "$work/changed-dist" && echo "a change" >>"$work/changed-dist/$(kit x64).zip"
rm -rf "$legacy/dist" && mv "$work/changed-dist" "$legacy/dist"
refused "$legacy" "signing a release changed since it was made" "not the release its SHA256SUMS lists" \
    PNPINSTALL_SIGN_PFX="$pfx" PNPINSTALL_SIGN_PASSWORD=throwaway -- --sign
mkdir "$work/run"
for arch in x64 arm64; do
    zip=$signed/dist/$(name "$arch").zip exe=$work/run/$arch.exe
    unzip -p "$zip" "$(name "$arch")/pnpinstall.exe" >"$exe"
    check "$arch: Authenticode signature verifies against the certificate, made with SHA-256" \
        bash -c 'osslsigncode verify -CAfile "$0" -in "$1" 2>&1 | grep -qx "Message digest algorithm *: SHA256"' \
        "$work/certificate/cert.pem" "$exe"
    check "$arch: SBOM: the signed executable's SHA-1, SHA-256 and package verification code" \
        test "$(unzip -p "$zip" "$(name "$arch")/pnpinstall.spdx.json" |
                jq -r '(.files[0].checksums | map(.checksumValue) | join(" ")),
                       (.packages[] | select(.name == "pnpinstall") | .packageVerificationCode.packageVerificationCodeValue)')" = \
             "$(sha1sum <"$exe" | cut -c1-40) $(sha256sum <"$exe" | cut -c1-64)
$(sha1sum <"$exe" | cut -c1-40 | tr -d '\n' | sha1sum | cut -c1-40)"
    check "$arch: the test kit's executable is the signed one" \
        cmp <(unzip -p "$signed/dist/$(kit "$arch").zip" "$(kit "$arch")/pnpinstall.exe") "$exe"
    started "verify_signed_$arch" release "$second" --verify "$zip"
done

# The signed x86-64 executable still behaves, from cmd, beside the stand-in.
cp "$work/run/x64.exe" "$work/run/pnpinstall.exe"
cp "$standin" "$work/run/newdev.dll"
printf '%s\r\n' '@echo off' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' 'echo %ERRORLEVEL%' \
    'set NEWDEV_STANDIN_RESULT=0' 'set NEWDEV_STANDIN_LAST_ERROR=0xE000020B' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' \
    'echo %ERRORLEVEL%' 'set NEWDEV_STANDIN_LAST_ERROR=0' 'pnpinstall ROOT\PNPDEMO C:\demo.inf' 'echo %ERRORLEVEL%' \
    'pnpinstall' 'echo %ERRORLEVEL%' >"$work/run/outcomes.cmd"
# cmd's own status is the last command's: it says nothing here.
outcomes=$(cd "$work/run" && WINEDLLOVERRIDES=newdev=n "$wine_run" "$prefix" cmd /c outcomes.cmd | tr -d '\r' | tr '\n' ' ') || true
check "x64: the signed executable still behaves" \
    test "$outcomes" = "success 0 error: -536870389 -536870389 error: 1603 1603 error: 1 1 "

# --verify on zips that call for each of its explanations. tampered ARCH FILTER: the
# released ARCH zip with one byte of its executable changed, and its bill of materials
# changed by the jq FILTER; prints the zip's path.
tampered() {
    local name; name=$(name "$1")
    rm -rf "${work:?}/run/$name" && mkdir "$work/run/$name" && cp "$work/run/$1.exe" "$work/run/$name/pnpinstall.exe" &&
        printf '\x90' | dd of="$work/run/$name/pnpinstall.exe" bs=1 seek=$((0x500)) conv=notrunc status=none &&
        unzip -p "$signed/dist/$name.zip" "$name/pnpinstall.spdx.json" | jq "$2" >"$work/run/$name/pnpinstall.spdx.json" &&
        cp "$signed/dist/$name.zip" "$work/run/tampered-$1.zip" &&
        (cd "$work/run" && zip -q "tampered-$1.zip" "$name/pnpinstall.exe" "$name/pnpinstall.spdx.json") &&
        echo "$work/run/tampered-$1.zip"
}
# x86-64, said to be built with another compiler on another Debian release; ARM64, said to
# have its run-time from another mingw-w64 source package; and a zip for an architecture
# this does not build, refused before anything is built.
other_compiler="(.packages[] | select(.name == \"clang-$llvm\") | .versionInfo) = \"1:0.0-other\""
other_release='.creationInfo.comment |= sub("^Built on [^;]* with"; "Built on Debian GNU/Linux 99 (other) with")'
started tampered_x64 release "$second" --verify "$(tampered x64 "$other_compiler | $other_release")"
started tampered_arm64 release "$second" --verify \
    "$(tampered arm64 '(.packages[] | select(.name == "mingw-w64") | .versionInfo) = "0.0-other"')"
(cd "$work/run" && mkdir -p "pnpinstall-$version-win-x86" && cp x64.exe "pnpinstall-$version-win-x86/pnpinstall.exe" &&
    zip -q x86.zip "pnpinstall-$version-win-x86/pnpinstall.exe")
started x86 release "$second" --verify "$work/run/x86.zip"

finished verify_unsigned && status=0 || status=$?
check "--verify accepts an unsigned zip" test "$status" -eq 0 -a -n "$(grep -F "matches commit $commit" "$work/verify_unsigned.out")"
for arch in x64 arm64; do
    finished "verify_signed_$arch" && status=0 || status=$?
    check "$arch: --verify accepts the signed zip" \
        test "$status" -eq 0 -a -n "$(grep -F "matches commit $commit" "$work/verify_signed_$arch.out")"
    [ "$status" -eq 0 ] || sed 's/^/  /' "$work/verify_signed_$arch.out"
done
finished tampered_x64 && status=0 || status=$?
output=$(cat "$work/tampered_x64.out")
check "--verify rejects an executable changed by one byte" test "$status" -ne 0
where="does NOT match commit $commit: its executable differs from byte $((0x500 + 1)) (offset 0x500)"
check "--verify: says where it differs" contains "$output" "$where"
check "--verify: names the Debian release the zip was built on" contains "$output" "release: it was built on Debian GNU/Linux 99 (other)"
check "--verify: names the package this machine has at another version" \
    contains "$output" "clang-$llvm: the release was built with 1:0.0-other, this machine has $(dpkg-query -W -f='${Version}' "clang-$llvm")"
check "--verify: names no package that is the same" lacks "$output" "lld-$llvm: the release"
[ "$failures" -eq 0 ] || sed 's/^/  /' <<<"$output"
finished tampered_arm64 && status=0 || status=$?
output=$(cat "$work/tampered_arm64.out")
check "--verify: ARM64: names the toolchain's source package at another version" test "$status" -ne 0 -a -n "$(grep -F \
    "mingw-w64: the release was built with 0.0-other, this machine has $(grep '^mingw-w64 ' "$toolchain/source-packages" | cut -d' ' -f2)" \
    <<<"$output")"
check "--verify: ARM64: names no source package that is the same" lacks "$output" "llvm-toolchain-$llvm: the release"
finished x86 && status=0 || status=$?
check "--verify refuses a zip for an architecture it does not build" \
    test "$status" -ne 0 -a -n "$(grep -F "is for no architecture this builds" "$work/x86.out")"

[ "$failures" -eq 0 ] || { echo "$failures release check(s) failed" >&2; exit 1; }
