#include "package.h"

#include "runner.h"

#include <windows.h>
#include <mscat.h>
#include <setupapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

const wchar_t signerSubject[] = L"CN=pnpinstall test kit throwaway signer";
const wchar_t signerName[] = L"pnpinstall test kit throwaway signer"; // what a store search finds it by
const wchar_t keyContainer[] = L"pnpinstall-test-kit";
const wchar_t *const trustStores[] = {L"Root", L"TrustedPublisher"};
const wchar_t sampleProvider[] = L"pnpinstall demo";
// Windows 6.0 (Vista) to 10 and 11, as driver catalogs list them.
const char osAttribute[] = "0x10010001:OSAttr:2:6.0,2:6.1,2:6.2,2:6.3,2:10.0";

[[noreturn]] void fail(const std::string &step, DWORD code = GetLastError())
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", code);
    throw std::runtime_error(step + " failed: " + hex);
}

fs::path pathOf(const std::string &utf8) { return fs::path(widen(utf8)); }

std::string readFile(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const fs::path &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + narrow(path.wstring()));
}

// A LocalMachine store by its registry part, where certificates are added and removed for
// good (Wine forgets a removal made through the system store's collection).
struct Store {
    HCERTSTORE handle;
    explicit Store(const wchar_t *name)
        : handle(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name))
    {
        if (!handle)
            fail("opening LocalMachine\\" + narrow(name));
    }
    ~Store() { CertCloseStore(handle, 0); }
};

struct Provider {
    HCRYPTPROV handle = 0;
    ~Provider() { if (handle) CryptReleaseContext(handle, 0); }
};

// Each of the kit's certificates in the trust stores and its key container, one line a
// thing, removed on the way if `remove`.
std::vector<std::string> signers(bool remove)
{
    std::vector<std::string> found;
    for (const wchar_t *name : trustStores) {
        Store store(name);
        PCCERT_CONTEXT certificate = nullptr;
        while ((certificate = CertFindCertificateInStore(store.handle, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                                         signerName, certificate))) {
            found.push_back("certificate \"" + narrow(signerName) + "\" in LocalMachine\\" + narrow(name));
            if (remove) { // deleting frees the context the search would go on from
                CertDeleteCertificateFromStore(CertDuplicateCertificateContext(certificate));
                CertFreeCertificateContext(certificate);
                certificate = nullptr;
            }
        }
    }
    Provider key;
    if (CryptAcquireContextW(&key.handle, keyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        found.push_back("key container \"" + narrow(keyContainer) + "\" (machine)");
        if (remove) {
            CryptReleaseContext(key.handle, 0);
            key.handle = 0;
            HCRYPTPROV deleted;
            CryptAcquireContextW(&deleted, keyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                 CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET);
        }
    }
    return found;
}

// Takes a driver-store package (its %windir%\INF\oemNN.inf) off every device and out of
// the store. DiUninstallDriverW (Windows 10 1703 and later) does so on every architecture;
// SetupUninstallOEMInf's force flag, the way before it, works on x86 and x64 alone.
bool uninstallPackage(const fs::path &storedInf)
{
    using DiUninstallDriverW = BOOL(WINAPI *)(HWND, LPCWSTR, DWORD, PBOOL);
    HMODULE newdev = LoadLibraryExW(L"newdev.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto uninstall = newdev ? reinterpret_cast<DiUninstallDriverW>(
                                  reinterpret_cast<void *>(GetProcAddress(newdev, "DiUninstallDriverW")))
                            : nullptr;
    BOOL reboot = FALSE; // given, so that Windows asks nobody to restart
    const bool removed = (uninstall && uninstall(nullptr, storedInf.c_str(), 0, &reboot)) ||
                         SetupUninstallOEMInfW(storedInf.filename().c_str(), SUOI_FORCEDELETE, nullptr);
    if (newdev)
        FreeLibrary(newdev);
    return removed;
}

// Each driver-store copy of the sample (oemNN.inf whose provider is the sample's), removed
// on the way if `remove`.
std::vector<std::string> samplePackages(bool remove)
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::vector<std::string> found;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(fs::path(windows) / L"INF", error)) {
        const std::wstring name = entry.path().filename().wstring();
        if (_wcsnicmp(name.c_str(), L"oem", 3) != 0 || _wcsicmp(entry.path().extension().c_str(), L".inf") != 0)
            continue;
        HINF inf = SetupOpenInfFileW(entry.path().c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        if (inf == INVALID_HANDLE_VALUE)
            continue;
        wchar_t provider[256] = L"";
        SetupGetLineTextW(nullptr, inf, L"Version", L"Provider", provider, 256, nullptr);
        SetupCloseInfFile(inf);
        if (_wcsicmp(provider, sampleProvider) != 0)
            continue;
        found.push_back("driver package " + narrow(name) + " (the sample's, in the driver store)");
        if (remove && !uninstallPackage(entry.path()))
            found.back() += ": could not be removed";
    }
    return found;
}

CERT_EXTENSION codeSigningUsage(std::string &encoded)
{
    static char codeSigning[] = szOID_PKIX_KP_CODE_SIGNING;
    char *usages[] = {codeSigning};
    CERT_ENHKEY_USAGE usage{1, usages};
    DWORD size = 0;
    CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, &usage, nullptr, &size);
    encoded.resize(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, &usage, reinterpret_cast<BYTE *>(encoded.data()), &size))
        fail("encoding the code-signing usage");
    static char oid[] = szOID_ENHANCED_KEY_USAGE;
    return CERT_EXTENSION{oid, FALSE, {size, reinterpret_cast<BYTE *>(encoded.data())}};
}

SYSTEMTIME daysFromNow(int days)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time{{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(days) * 24 * 3600 * 10000000LL);
    FILETIME then{time.LowPart, time.HighPart};
    SYSTEMTIME result;
    FileTimeToSystemTime(&then, &result);
    return result;
}

// A self-signed code-signing certificate with a new machine key, valid from yesterday for
// a week, trusted as its own root and as a publisher.
PCCERT_CONTEXT makeTrustedSigner(Provider &key)
{
    if (!CryptAcquireContextW(&key.handle, keyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET))
        fail("making the key container");
    HCRYPTKEY signingKey;
    if (!CryptGenKey(key.handle, AT_SIGNATURE, 2048u << 16, &signingKey))
        fail("making a 2048-bit RSA signing key");
    CryptDestroyKey(signingKey);

    BYTE name[256];
    DWORD nameSize = sizeof name;
    if (!CertStrToNameW(X509_ASN_ENCODING, signerSubject, CERT_X500_NAME_STR, nullptr, name, &nameSize, nullptr))
        fail("encoding the signer's name");
    CERT_NAME_BLOB subject{nameSize, name};
    CRYPT_KEY_PROV_INFO keyInfo{const_cast<wchar_t *>(keyContainer), const_cast<wchar_t *>(MS_ENH_RSA_AES_PROV_W),
                                PROV_RSA_AES, CRYPT_MACHINE_KEYSET, 0, nullptr, AT_SIGNATURE};
    static char sha256Rsa[] = szOID_RSA_SHA256RSA;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{sha256Rsa, {}};
    std::string usage;
    CERT_EXTENSION extension = codeSigningUsage(usage);
    CERT_EXTENSIONS extensions{1, &extension};
    SYSTEMTIME from = daysFromNow(-1), to = daysFromNow(7);
    PCCERT_CONTEXT certificate =
        CertCreateSelfSignCertificate(key.handle, &subject, 0, &keyInfo, &algorithm, &from, &to, &extensions);
    if (!certificate)
        fail("making the self-signed certificate");
    for (const wchar_t *name : trustStores) {
        Store store(name);
        if (!CertAddCertificateContextToStore(store.handle, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            fail("trusting the certificate in LocalMachine\\" + narrow(name));
    }
    return certificate;
}

// What the CDF parser complains of, with the line.
std::string cdfErrors;
void WINAPI cdfError(DWORD area, DWORD code, WCHAR *line)
{
    char text[64];
    std::snprintf(text, sizeof text, "CDF area %lu error 0x%08lX at: ", area, code);
    cdfErrors += text + narrow(line ? line : L"") + "\n";
}

// Declared in wintrust's documentation (mscat.h), not in every mingw-w64's header.
using EnumAttributesWithCdfTag = CRYPTCATATTRIBUTE *(WINAPI *)(CRYPTCATCDF *, LPWSTR, CRYPTCATMEMBER *,
                                                               CRYPTCATATTRIBUTE *, PFN_CDF_PARSE_ERROR_CALLBACK);

// Makes CATALOG (a bare name) for the INF in `folder`, whose path is plain ASCII: a CDF
// is text that names paths.
void makeCatalog(const fs::path &folder, const std::wstring &infName, const std::wstring &catalog)
{
    const std::string ascii = narrow(folder.wstring()), inf = narrow(infName);
    writeFile(folder / L"catalog.cdf",
              "[CatalogHeader]\r\nName=" + narrow(catalog) + "\r\nResultDir=" + ascii +
                  "\r\nPublicVersion=0x0000001\r\nEncodingType=0x00010001\r\nCATATTR1=" + osAttribute +
                  "\r\n\r\n[CatalogFiles]\r\n<hash>" + inf + "=" + ascii + "\\" + inf + "\r\n<hash>" + inf +
                  "ATTR1=0x10010001:File:" + inf + "\r\n<hash>" + inf + "ATTR2=" + osAttribute + "\r\n");
    const auto enumAttributes = reinterpret_cast<EnumAttributesWithCdfTag>(reinterpret_cast<void *>(
        GetProcAddress(LoadLibraryW(L"wintrust.dll"), "CryptCATCDFEnumAttributesWithCDFTag")));
    cdfErrors.clear();
    std::wstring cdfPath = (folder / L"catalog.cdf").wstring();
    CRYPTCATCDF *cdf = CryptCATCDFOpen(cdfPath.data(), cdfError);
    if (!cdf)
        fail("CryptCATCDFOpen (wintrust's CDF parser)" + (cdfErrors.empty() ? "" : ": " + cdfErrors));
    CRYPTCATATTRIBUTE *attribute = nullptr;
    while ((attribute = CryptCATCDFEnumCatAttributes(cdf, attribute, cdfError))) {
    }
    CRYPTCATMEMBER *member = nullptr;
    LPWSTR tag = nullptr;
    while ((tag = CryptCATCDFEnumMembersByCDFTagEx(cdf, tag, cdfError, &member, TRUE, nullptr)))
        for (CRYPTCATATTRIBUTE *memberAttribute = nullptr;
             enumAttributes && (memberAttribute = enumAttributes(cdf, tag, member, memberAttribute, cdfError));) {
        }
    if (!CryptCATCDFClose(cdf) || !cdfErrors.empty())
        fail("making the catalog from its CDF" + (cdfErrors.empty() ? "" : ": " + cdfErrors));
}

// The catalog as the CDF functions wrote it is a PKCS #7 message, with no signer, around
// a certificate trust list; the same list goes into one signed by `signer`, with the
// attributes Authenticode signatures carry.
void signCatalog(const fs::path &unsigned_, const fs::path &signed_, PCCERT_CONTEXT signer, HCRYPTPROV key)
{
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const std::string catalog = readFile(unsigned_);
    HCRYPTMSG decoded = CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
    DWORD size = 0;
    if (!decoded || !CryptMsgUpdate(decoded, reinterpret_cast<const BYTE *>(catalog.data()), catalog.size(), TRUE) ||
        !CryptMsgGetParam(decoded, CMSG_CONTENT_PARAM, 0, nullptr, &size))
        fail("reading the unsigned catalog");
    std::string trustList(size, '\0');
    CryptMsgGetParam(decoded, CMSG_CONTENT_PARAM, 0, trustList.data(), &size);
    CryptMsgClose(decoded);

    SPC_SP_OPUS_INFO opus{};
    static char individual[] = SPC_INDIVIDUAL_SP_KEY_PURPOSE_OBJID;
    char *purposes[] = {individual};
    SPC_STATEMENT_TYPE statement{1, purposes};
    std::string encodedOpus(256, '\0'), encodedStatement(256, '\0');
    DWORD opusSize = encodedOpus.size(), statementSize = encodedStatement.size();
    if (!CryptEncodeObject(X509_ASN_ENCODING, SPC_SP_OPUS_INFO_STRUCT, &opus,
                           reinterpret_cast<BYTE *>(encodedOpus.data()), &opusSize) ||
        !CryptEncodeObject(X509_ASN_ENCODING, SPC_STATEMENT_TYPE_STRUCT, &statement,
                           reinterpret_cast<BYTE *>(encodedStatement.data()), &statementSize))
        fail("encoding the Authenticode attributes");
    CRYPT_ATTR_BLOB opusValue{opusSize, reinterpret_cast<BYTE *>(encodedOpus.data())};
    CRYPT_ATTR_BLOB statementValue{statementSize, reinterpret_cast<BYTE *>(encodedStatement.data())};
    static char opusOid[] = SPC_SP_OPUS_INFO_OBJID, statementOid[] = SPC_STATEMENT_TYPE_OBJID;
    CRYPT_ATTRIBUTE attributes[] = {{opusOid, 1, &opusValue}, {statementOid, 1, &statementValue}};

    CMSG_SIGNER_ENCODE_INFO signerInfo{};
    signerInfo.cbSize = sizeof signerInfo;
    signerInfo.pCertInfo = signer->pCertInfo;
    signerInfo.hCryptProv = key;
    signerInfo.dwKeySpec = AT_SIGNATURE;
    static char sha256[] = szOID_NIST_sha256;
    signerInfo.HashAlgorithm.pszObjId = sha256;
    signerInfo.cAuthAttr = 2;
    signerInfo.rgAuthAttr = attributes;
    CERT_BLOB certificate{signer->cbCertEncoded, signer->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO signedInfo{};
    signedInfo.cbSize = sizeof signedInfo;
    signedInfo.cSigners = 1;
    signedInfo.rgSigners = &signerInfo;
    signedInfo.cCertEncoded = 1;
    signedInfo.rgCertEncoded = &certificate;
    static char trustListType[] = szOID_CTL;
    HCRYPTMSG message = CryptMsgOpenToEncode(encoding, 0, CMSG_SIGNED, &signedInfo, trustListType, nullptr);
    if (!message || !CryptMsgUpdate(message, reinterpret_cast<const BYTE *>(trustList.data()), trustList.size(), TRUE) ||
        !CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &size))
        fail("signing the catalog");
    std::string signedCatalog(size, '\0');
    CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, signedCatalog.data(), &size);
    CryptMsgClose(message);
    signedCatalog.resize(size);
    writeFile(signed_, signedCatalog);
}

long verify(WINTRUST_DATA &data)
{
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    const long result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

} // namespace

std::string copySamplePackage(const std::string &sampleInf, const std::string &folder, bool namesCatalog)
{
    std::string inf = readFile(pathOf(sampleInf));
    if (inf.empty())
        throw std::runtime_error("cannot read the sample INF " + sampleInf);
    if (!namesCatalog) {
        const size_t line = inf.find("\nCatalogFile");
        if (line != std::string::npos)
            inf.erase(line + 1, inf.find('\n', line + 1) - line);
    }
    fs::create_directories(pathOf(folder));
    const fs::path copy = pathOf(folder) / pathOf(sampleInf).filename();
    writeFile(copy, inf);
    return narrow(copy.wstring());
}

void signPackage(const std::string &inf)
{
    const fs::path infPath = pathOf(inf);
    HINF opened = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        fail("opening " + inf);
    wchar_t catalog[MAX_PATH] = L"";
    const BOOL namesCatalog = SetupGetLineTextW(nullptr, opened, L"Version", L"CatalogFile", catalog, MAX_PATH, nullptr);
    SetupCloseInfFile(opened);
    if (!namesCatalog)
        throw std::runtime_error(inf + " names no catalog (CatalogFile)");

    signers(true); // one of an earlier run would be in the way
    Provider key;
    PCCERT_CONTEXT signer = makeTrustedSigner(key);

    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const fs::path staging = fs::path(windows) / L"Temp" / L"pnpinstall-test-kit-catalog";
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    try {
        fs::create_directories(staging);
        fs::copy_file(infPath, staging / infPath.filename());
        makeCatalog(staging, infPath.filename().wstring(), catalog);
        signCatalog(staging / catalog, infPath.parent_path() / catalog, signer, key.handle);
    } catch (...) {
        CertFreeCertificateContext(signer);
        fs::remove_all(staging, ignored);
        throw;
    }
    CertFreeCertificateContext(signer);
    fs::remove_all(staging, ignored);
}

long verifyCatalog(const std::string &catalog)
{
    const std::wstring path = widen(catalog);
    WINTRUST_FILE_INFO file{sizeof file, path.c_str(), nullptr, nullptr};
    WINTRUST_DATA data{};
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    return verify(data);
}

long verifyInfInCatalog(const std::string &inf, const std::string &catalog)
{
    const std::wstring infPath = widen(inf), catalogPath = widen(catalog), name = pathOf(inf).filename().wstring();
    HANDLE file = CreateFileW(infPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<long>(HRESULT_FROM_WIN32(GetLastError()));
    BYTE hash[64];
    DWORD hashSize = sizeof hash;
    const BOOL hashed = CryptCATAdminCalcHashFromFileHandle(file, &hashSize, hash, 0);
    CloseHandle(file);
    if (!hashed)
        return static_cast<long>(HRESULT_FROM_WIN32(GetLastError()));
    std::wstring tag;
    for (DWORD i = 0; i < hashSize; ++i) {
        wchar_t pair[3];
        swprintf(pair, 3, L"%02X", hash[i]);
        tag += pair;
    }
    WINTRUST_CATALOG_INFO member{};
    member.cbStruct = sizeof member;
    member.pcwszCatalogFilePath = catalogPath.c_str();
    member.pcwszMemberTag = tag.c_str();
    member.pcwszMemberFilePath = infPath.c_str();
    member.pbCalculatedFileHash = hash;
    member.cbCalculatedFileHash = hashSize;
    WINTRUST_DATA data{};
    data.dwUnionChoice = WTD_CHOICE_CATALOG;
    data.pCatalog = &member;
    return verify(data);
}

std::vector<std::string> testSigners() { return signers(false); }
std::vector<std::string> removeTestSigners() { return signers(true); }
std::vector<std::string> samplePackagesInDriverStore() { return samplePackages(false); }
std::vector<std::string> removeSamplePackagesFromDriverStore() { return samplePackages(true); }

int testSigning()
{
    // SystemCodeIntegrityInformation (103): CODEINTEGRITY_OPTION_TESTSIGN is 0x2.
    struct {
        ULONG length;
        ULONG options;
    } integrity{sizeof integrity, 0};
    auto query = reinterpret_cast<LONG(WINAPI *)(int, void *, ULONG, ULONG *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query || query(103, &integrity, sizeof integrity, nullptr) != 0)
        return -1;
    return (integrity.options & 0x2) ? 1 : 0;
}
