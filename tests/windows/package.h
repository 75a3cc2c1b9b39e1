// The test kit's driver package, made on the machine that runs the tests: the sample INF
// in a folder of the test's, with a catalog signed by a throwaway certificate that is made
// there and trusted there, and the removal of all of it, also after a run that was killed.
#pragma once

#include <string>
#include <vector>

// Copies the sample INF into `folder` (made if need be) and returns the copy's path.
// Without `namesCatalog` the copy's [Version] section names no catalog.
std::string copySamplePackage(const std::string &sampleInf, const std::string &folder, bool namesCatalog = true);

// Trusts a throwaway code-signing certificate made now, in LocalMachine's Root and
// TrustedPublisher stores, and makes the INF's catalog (the one its CatalogFile names,
// beside it) as Windows' own tools make driver catalogs, with wintrust's CDF functions: the
// INF as a member hashed as a flat file, with a File attribute, and OSAttr 2:6.0 to 2:10.0.
// Then signs it with that certificate (SHA-256). Throws std::runtime_error with the step
// and what Windows answered.
void signPackage(const std::string &inf);

// What WinVerifyTrust answers (0: trusted) for the catalog's own signature, and for the
// INF as a member of the catalog.
long verifyCatalog(const std::string &catalog);
long verifyInfInCatalog(const std::string &inf, const std::string &catalog);

// What the kit leaves on a machine while it runs: its certificates and their key, and the
// driver-store packages (oemNN.inf) made from the sample. Each is listed, one line a
// thing, or removed, which lists what was removed.
std::vector<std::string> testSigners();
std::vector<std::string> removeTestSigners();
std::vector<std::string> samplePackagesInDriverStore();
std::vector<std::string> removeSamplePackagesFromDriverStore();

// Whether Windows' test-signing mode is on (1) or off (0), or -1 where the platform does
// not say.
int testSigning();
