#!/usr/bin/env bash
# spdx_rules_test.sh SPDX_PROBLEMS_JQ
# The SPDX 2.3 rules that the release's bills of materials are held to, each given a small
# document that breaks it: a valid document must pass, and each broken one must be
# rejected with the line that names its fault.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: spdx_rules_test.sh SPDX_PROBLEMS_JQ" >&2; exit 2; }
rules=$1

valid='{
  "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
  "name": "fixture", "documentNamespace": "urn:pnpinstall:spdx:fixture",
  "creationInfo": {"created": "2026-01-02T03:04:05Z", "creators": ["Tool: fixture"]},
  "packages": [
    {"SPDXID": "SPDXRef-app", "name": "app", "downloadLocation": "NOASSERTION", "filesAnalyzed": true,
     "packageVerificationCode": {"packageVerificationCodeValue": "0123456789abcdef0123456789abcdef01234567"}},
    {"SPDXID": "SPDXRef-lib", "name": "lib", "downloadLocation": "NOASSERTION", "filesAnalyzed": false}],
  "files": [{"SPDXID": "SPDXRef-app-exe", "fileName": "./app.exe", "checksums": [
    {"algorithm": "SHA1", "checksumValue": "89abcdef0123456789abcdef0123456789abcdef"},
    {"algorithm": "SHA256", "checksumValue": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}]}],
  "relationships": [
    {"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES", "relatedSpdxElement": "SPDXRef-app"},
    {"spdxElementId": "SPDXRef-app", "relationshipType": "CONTAINS", "relatedSpdxElement": "SPDXRef-app-exe"},
    {"spdxElementId": "SPDXRef-app-exe", "relationshipType": "STATIC_LINK", "relatedSpdxElement": "SPDXRef-lib"}]
}'

# Each break: a jq filter that makes it out of the valid document, and the line the rules
# must give for it.
breaks=(
  'del(.name)'                                     'document: no name'
  '.spdxVersion = "SPDX-2.2"'                      'document: spdxVersion is SPDX-2.2, not SPDX-2.3'
  '.dataLicense = "MIT"'                           'document: dataLicense must be CC0-1.0'
  '.SPDXID = "SPDXRef-DOC"'                        'document: SPDXID must be SPDXRef-DOCUMENT'
  '.documentNamespace = "pnpinstall fixture"'      'document: documentNamespace is not a URI'
  '.documentNamespace += "#1"'                     'document: documentNamespace holds a #'
  '.creationInfo.creators = []'                    'creationInfo: no creators'
  '.creationInfo.creators = ["fixture"]'           'creationInfo: creator fixture has no Person:, Organization: or Tool:'
  '.creationInfo.created = "2026-01-02"'           'creationInfo: created is not YYYY-MM-DDThh:mm:ssZ'
  '.files[0].SPDXID = "SPDXRef-lib"'               'document: an SPDXID is used twice'
  '.packages[1].SPDXID = "SPDXRef-lib_1"'          'element: SPDXRef-lib_1 is not an SPDX identifier'
  'del(.packages[1].downloadLocation)'             'package SPDXRef-lib: no downloadLocation'
  'del(.packages[0].packageVerificationCode)'      'package SPDXRef-app: files analyzed, but no package verification code'
  '.relationships |= map(select(.relationshipType != "CONTAINS"))'
                                                   'package SPDXRef-app: files analyzed, but it contains no files'
  'del(.files[0].fileName)'                        'file SPDXRef-app-exe: no fileName'
  '.files[0].checksums |= map(select(.algorithm != "SHA1"))'
                                                   'file SPDXRef-app-exe: 0 SHA1 checksums, where SPDX 2.3 requires exactly one'
  '.files[0].checksums += [.files[0].checksums[0]]' 'file SPDXRef-app-exe: 2 SHA1 checksums, where SPDX 2.3 requires exactly one'
  '.files[0].checksums[1].checksumValue = "0123"'  'file SPDXRef-app-exe: a malformed SHA256 checksum'
  '.relationships[2].relatedSpdxElement = "SPDXRef-none"'
                                                   'relationship SPDXRef-app-exe STATIC_LINK SPDXRef-none: refers to no element here'
  '.relationships |= map(select(.relationshipType != "DESCRIBES"))'
                                                   'document: describes nothing'
)

failures=0
problems=$(jq -r -f "$rules" <<<"$valid")
if [ -z "$problems" ]; then echo "ok   a valid document passes"; else
    echo "FAIL the valid document is rejected:"; sed 's/^/  | /' <<<"$problems"; failures=$((failures + 1)); fi
for ((i = 0; i < ${#breaks[@]}; i += 2)); do
    filter=${breaks[i]} expected=${breaks[i + 1]}
    problems=$(jq "$filter" <<<"$valid" | jq -r -f "$rules")
    if grep -qxF -- "$expected" <<<"$problems"; then
        echo "ok   $expected"
    else
        echo "FAIL $filter: expected \"$expected\"; the rules said:"; sed 's/^/  | /' <<<"${problems:-(nothing)}"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures SPDX rule(s) let a broken document through" >&2; exit 1; }
