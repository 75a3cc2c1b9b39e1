# jq -r -f spdx_problems.jq DOCUMENT: one line for each way the SPDX 2.3 JSON document
# breaks the rules of SPDX 2.3 for the fields it must have (document creation
# information; each package's and file's mandatory fields; element references that
# resolve); nothing when it keeps them.
def missing($where; $object; $fields):
  $fields[] | select(($object[.] // "") == "") | "\($where): no \(.)";
def id_pattern: test("^SPDXRef-[A-Za-z0-9.-]+$");
def checksum_lengths: {SHA1: 40, SHA256: 64, SHA512: 128, MD5: 32};

. as $document
| ([.SPDXID] + [.packages[]?.SPDXID] + [.files[]?.SPDXID]) as $ids
| (
    missing("document"; .; ["spdxVersion", "dataLicense", "SPDXID", "name", "documentNamespace", "creationInfo"]),
    (select(.spdxVersion != "SPDX-2.3") | "document: spdxVersion is \(.spdxVersion), not SPDX-2.3"),
    (select(.dataLicense != "CC0-1.0") | "document: dataLicense must be CC0-1.0"),
    (select(.SPDXID != "SPDXRef-DOCUMENT") | "document: SPDXID must be SPDXRef-DOCUMENT"),
    (select((.documentNamespace // "") | test("^[a-z][a-z0-9+.-]*:") | not) | "document: documentNamespace is not a URI"),
    (select((.documentNamespace // "") | contains("#")) | "document: documentNamespace holds a #"),
    (select((.creationInfo.creators // []) | length == 0) | "creationInfo: no creators"),
    (.creationInfo.creators[]? | select(test("^(Person|Organization|Tool): .+") | not) | "creationInfo: creator \(.) has no Person:, Organization: or Tool:"),
    (select((.creationInfo.created // "") | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$") | not)
     | "creationInfo: created is not YYYY-MM-DDThh:mm:ssZ"),
    (select(($ids | length) != ($ids | unique | length)) | "document: an SPDXID is used twice"),
    ($ids[] | select(id_pattern | not) | "element: \(.) is not an SPDX identifier"),
    (.packages[]? | . as $package | "package \(.SPDXID // .name)" as $where
     | missing($where; .; ["name", "SPDXID", "downloadLocation"]),
       (select(.filesAnalyzed != false and ((.packageVerificationCode.packageVerificationCodeValue // "") | test("^[0-9a-f]{40}$") | not))
        | "\($where): files analyzed, but no package verification code"),
       (select(.filesAnalyzed != false and ([$document.relationships[]? | select(.spdxElementId == $package.SPDXID
                and .relationshipType == "CONTAINS")] + ($package.hasFiles // []) | length == 0))
        | "\($where): files analyzed, but it contains no files")),
    (.files[]? | "file \(.SPDXID // .fileName)" as $where
     | missing($where; .; ["fileName", "SPDXID"]),
       ([.checksums[]? | select(.algorithm == "SHA1")] | length | select(. != 1)
        | "\($where): \(.) SHA1 checksums, where SPDX 2.3 requires exactly one"),
       (.checksums[]? | select((.checksumValue | length) != (checksum_lengths[.algorithm] // -1)
                               or (.checksumValue | test("^[0-9a-f]+$") | not))
        | "\($where): a malformed \(.algorithm) checksum")),
    (.relationships[]? | select(([.spdxElementId, .relatedSpdxElement] - $ids) != [] or (.relationshipType // "") == "")
     | "relationship \(.spdxElementId) \(.relationshipType) \(.relatedSpdxElement): refers to no element here"),
    (select([.relationships[]? | select(.spdxElementId == "SPDXRef-DOCUMENT" and .relationshipType == "DESCRIBES")]
            + (.documentDescribes // []) | length == 0) | "document: describes nothing")
  )
