# The release's SPDX 2.3 bill of materials, written by scripts/release with jq -n.
# $linked and $tools: the Debian packages linked into the executable (binary packages,
# or source packages that scripts/arm64-toolchain built, arch "source"), and those that
# compiled and linked it, each {name, version, arch, note, files}; a note says how a
# source package was built, when not as Debian builds it.
def debian($relationship):
  {SPDXID: "SPDXRef-deb-\(.name)", name: .name, versionInfo: .version,
   supplier: "Organization: Debian", downloadLocation: "NOASSERTION", filesAnalyzed: false,
   licenseConcluded: "NOASSERTION", licenseDeclared: "NOASSERTION", copyrightText: "NOASSERTION",
   comment: ("\($relationship) pnpinstall.exe\(if .note != "" then " (\(.note))" else "" end): " + (.files | join(", "))),
   externalRefs: [{referenceCategory: "PACKAGE-MANAGER", referenceType: "purl",
                   referenceLocator: "pkg:deb/debian/\(.name)@\(.version)?arch=\(.arch)"}]};
{
  spdxVersion: "SPDX-2.3", dataLicense: "CC0-1.0", SPDXID: "SPDXRef-DOCUMENT",
  name: "pnpinstall-\($version)-win-\($arch)",
  documentNamespace: "urn:pnpinstall:spdx:\($version):\($arch):\($commit)",
  creationInfo: {created: $created, creators: ["Tool: pnpinstall scripts/release"],
                 comment: "Built on \($system) with the packages listed as build tools; the same commit built with the same package versions gives the same executable byte for byte."},
  packages: ([{
    SPDXID: "SPDXRef-pnpinstall", name: "pnpinstall", versionInfo: $version,
    supplier: "Organization: The pnpinstall authors", downloadLocation: "NOASSERTION",
    sourceInfo: "built from git commit \($commit)", filesAnalyzed: true,
    packageVerificationCode: {packageVerificationCodeValue: $verification},
    licenseConcluded: "MIT", licenseDeclared: "MIT", copyrightText: $copyright
  }] + ($linked | map(debian("Linked into"))) + ($tools | map(debian("Built")))),
  files: [{
    SPDXID: "SPDXRef-pnpinstall-exe", fileName: "./pnpinstall.exe",
    checksums: [{algorithm: "SHA1", checksumValue: $sha1}, {algorithm: "SHA256", checksumValue: $sha256}],
    licenseConcluded: "MIT", copyrightText: $copyright
  }],
  relationships: ([
    {spdxElementId: "SPDXRef-DOCUMENT", relationshipType: "DESCRIBES", relatedSpdxElement: "SPDXRef-pnpinstall"},
    {spdxElementId: "SPDXRef-pnpinstall", relationshipType: "CONTAINS", relatedSpdxElement: "SPDXRef-pnpinstall-exe"}
  ] + ($linked | map({spdxElementId: "SPDXRef-pnpinstall-exe", relationshipType: "STATIC_LINK",
                      relatedSpdxElement: "SPDXRef-deb-\(.name)"}))
    + ($tools | map({spdxElementId: "SPDXRef-deb-\(.name)", relationshipType: "BUILD_TOOL_OF",
                     relatedSpdxElement: "SPDXRef-pnpinstall-exe"})))
}
