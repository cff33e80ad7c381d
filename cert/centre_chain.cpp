// Where the holder's centre's certificates are looked for, and how a chain
// from a new certificate up to an anchor is walked. The signature arithmetic
// is centre_signature.cpp's; this file weighs names, extensions and where a
// certificate came from. Whoever answers the renewal or a retrieval can
// serve any certificate they like, carrying any name and any public key, and
// any centre can put its own in the user's stores: a certificate counts only
// through a chain that ends in an anchor the network cannot touch.
#include "cert/centre_chain.h"

#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "cert/centre_signature.h"
#include "cert/certificate_object.h"
#include "cert/decoded.h"
#include "cert/issuer_retrieval.h"
#include "res/app_instance.h"

namespace {

// The bounds of one check, so that a crafted answer cannot keep it working.
const ULONGLONG CHECK_MILLISECONDS = 15000;
const int MAX_RETRIEVALS = 4;
const DWORD MAX_ANSWER_BYTES = 64 * 1024;
// Centre certificates above the new certificate's issuer, the anchor included.
const int MAX_LINKS_ABOVE_ISSUER = 3;
// Signature checks of the chain (a refused chain of three links made of a
// few candidates each stays far below).
const int MAX_CHAIN_SIGNATURE_CHECKS = 32;

struct StorePlace {
    DWORD location;
    const wchar_t *name;
};
// The system stores an installed centre certificate may be in, in the order
// they are asked.
const StorePlace systemStores[] = {
    {CERT_SYSTEM_STORE_CURRENT_USER, L"CA"},  {CERT_SYSTEM_STORE_CURRENT_USER, L"Root"},
    {CERT_SYSTEM_STORE_CURRENT_USER, L"My"},  {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"CA"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"}, {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"My"},
};
const size_t SYSTEM_STORE_COUNT = std::size(systemStores);
// Of these, the stores whose centre certificates are anchors, and those a
// link between the issuer and an anchor may come from (a certificate of
// "Root" is tried as an anchor already).
const size_t issuerStores[] = {0, 1, 2, 3, 4, 5};
const size_t anchorStores[] = {1, 4};
const size_t linkStores[] = {0, 2, 3, 5};

bool SameCertificate(PCCERT_CONTEXT one, PCCERT_CONTEXT other)
{
    return one->cbCertEncoded == other->cbCertEncoded &&
           std::memcmp(one->pbCertEncoded, other->pbCertEncoded, one->cbCertEncoded) == 0;
}

// The key identifier an extension holds (the authority's in a certificate it
// signed, or a certificate's own); empty when it carries none.
std::string KeyIdentifier(PCCERT_CONTEXT certificate, bool authority)
{
    PCERT_INFO info = certificate->pCertInfo;
    if (authority) {
        PCERT_EXTENSION extension =
            CertFindExtension(szOID_AUTHORITY_KEY_IDENTIFIER2, info->cExtension, info->rgExtension);
        if (!extension)
            return "";
        Decoded<CERT_AUTHORITY_KEY_ID2_INFO> keyId = Decode<CERT_AUTHORITY_KEY_ID2_INFO>(
            X509_AUTHORITY_KEY_ID2, extension->Value.pbData, extension->Value.cbData);
        return keyId ? std::string(reinterpret_cast<const char *>(keyId->KeyId.pbData), keyId->KeyId.cbData) : "";
    }
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info->cExtension, info->rgExtension);
    if (!extension)
        return "";
    Decoded<CRYPT_DATA_BLOB> keyId =
        Decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, extension->Value.pbData, extension->Value.cbData);
    return keyId ? std::string(reinterpret_cast<const char *>(keyId->pbData), keyId->cbData) : "";
}

// Whether candidate is named as certificate's issuer: by name, and by key
// identifier where both carry one.
bool NamedAsIssuer(PCCERT_CONTEXT certificate, PCCERT_CONTEXT candidate)
{
    if (!CertCompareCertificateName(X509_ASN_ENCODING, &candidate->pCertInfo->Subject,
                                    &certificate->pCertInfo->Issuer))
        return false;
    std::string authorityKey = KeyIdentifier(certificate, true), candidateKey = KeyIdentifier(candidate, false);
    return authorityKey.empty() || candidateKey.empty() || authorityKey == candidateKey;
}

// The basic constraints a certificate states; null when it states none.
Decoded<CERT_BASIC_CONSTRAINTS2_INFO> BasicConstraints(PCCERT_CONTEXT certificate)
{
    PCERT_INFO info = certificate->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension);
    if (!extension)
        return nullptr;
    return Decode<CERT_BASIC_CONSTRAINTS2_INFO>(X509_BASIC_CONSTRAINTS2, extension->Value.pbData,
                                                extension->Value.cbData);
}

// Whether the certificate's key usage, where it states one, allows
// certifying keys; a usage that does not decode allows nothing.
bool SignsCertificates(PCCERT_CONTEXT certificate)
{
    PCERT_INFO info = certificate->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!extension)
        return true;
    Decoded<CRYPT_BIT_BLOB> usage =
        Decode<CRYPT_BIT_BLOB>(X509_KEY_USAGE, extension->Value.pbData, extension->Value.cbData);
    return usage && usage->cbData > 0 && (usage->pbData[0] & CERT_KEY_CERT_SIGN_KEY_USAGE);
}

// Whether the certificate may stand in a path with centresBelow centre
// certificates between it and the certificate the check is about: a
// certification authority's (an end entity's key certifies nothing), valid
// now, allowed to certify keys, and with a path length that allows those
// below it.
bool ValidLink(PCCERT_CONTEXT certificate, DWORD centresBelow)
{
    Decoded<CERT_BASIC_CONSTRAINTS2_INFO> constraints = BasicConstraints(certificate);
    return constraints && constraints->fCA &&
           (!constraints->fPathLenConstraint || constraints->dwPathLenConstraint >= centresBelow) &&
           CertVerifyTimeValidity(nullptr, certificate->pCertInfo) == 0 && SignsCertificates(certificate);
}

// The centre certificates of the path that a certificate put on top of it
// would certify, the new certificate (the path's first) not counted: a
// path length limits them. A self-issued one (a centre's own key change) is
// not counted.
DWORD CentresBelow(const std::vector<PCCERT_CONTEXT> &path)
{
    DWORD count = 0;
    for (size_t i = 1; i < path.size(); i++)
        if (!CertCompareCertificateName(X509_ASN_ENCODING, &path[i]->pCertInfo->Subject,
                                        &path[i]->pCertInfo->Issuer))
            count++;
    return count;
}

bool OnPath(const std::vector<PCCERT_CONTEXT> &path, PCCERT_CONTEXT certificate)
{
    for (PCCERT_CONTEXT each : path)
        if (SameCertificate(each, certificate))
            return true;
    return false;
}

// Whether candidate may vouch for the certificate at the top of the path: a
// valid link at that place, named as its issuer, and none of the path (a
// certificate is never its own witness).
bool MayCertify(const std::vector<PCCERT_CONTEXT> &path, PCCERT_CONTEXT candidate)
{
    return candidate && !OnPath(path, candidate) && ValidLink(candidate, CentresBelow(path)) &&
           NamedAsIssuer(path.back(), candidate);
}

BOOL CALLBACK AddHeadCentre(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR heads)
{
    HRSRC resource = FindResourceW(module, name, type);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const BYTE *der = loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
    PCCERT_CONTEXT head =
        der ? CertCreateCertificateContext(X509_ASN_ENCODING, der, SizeofResource(module, resource)) : nullptr;
    if (head)
        reinterpret_cast<std::vector<PCCERT_CONTEXT> *>(heads)->push_back(head);
    return TRUE;
}

// The head centres' certificates the program carries (its RCDATA
// resources), read once and kept for the life of the process.
const std::vector<PCCERT_CONTEXT> &HeadCentres()
{
    static std::vector<PCCERT_CONTEXT> heads;
    static std::once_flag once;
    std::call_once(once, [] {
        EnumResourceNamesW(appInstance, RT_RCDATA, AddHeadCentre, reinterpret_cast<LONG_PTR>(&heads));
    });
    return heads;
}

// What one check holds and has spent.
struct Check {
    const PCCERT_CONTEXT *token = nullptr;
    size_t tokenCount = 0;
    ULONGLONG deadline = 0;
    int retrievals = 0;
    int signatureChecks = 0;
    BeforeRetrieval beforeRetrieval = nullptr;
    void *context = nullptr;
    std::vector<PCCERT_CONTEXT> fetched;  // every certificate retrieved, for the links above
    std::vector<PCCERT_CONTEXT> held;     // what the check must free, fetched ones included
    // The system stores, each opened at most once a check: opening one
    // reads all its certificates ("Root" holds the system's hundred and
    // more), and the chain asks them again at every link. A new check opens
    // them anew, so a certificate installed meanwhile is seen.
    HCERTSTORE stores[SYSTEM_STORE_COUNT] = {};
    bool opened[SYSTEM_STORE_COUNT] = {};

    ~Check()
    {
        for (PCCERT_CONTEXT certificate : held)
            CertFreeCertificateContext(certificate);
        for (HCERTSTORE store : stores)
            if (store)
                CertCloseStore(store, 0);
    }
};

// One of the system stores, opened on first use in this check; null when it
// cannot be opened.
HCERTSTORE SystemStore(Check &check, size_t which)
{
    if (!check.opened[which]) {
        check.opened[which] = true;
        check.stores[which] =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          systemStores[which].location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
                          systemStores[which].name);
    }
    return check.stores[which];
}

// The certificates of these stores named as certificate's issuer, held by
// the check.
std::vector<PCCERT_CONTEXT> FoundInStores(Check &check, PCCERT_CONTEXT certificate, const size_t *places,
                                          size_t placeCount)
{
    std::vector<PCCERT_CONTEXT> found;
    for (size_t i = 0; i < placeCount; i++) {
        HCERTSTORE store = SystemStore(check, places[i]);
        if (!store)
            continue;
        PCCERT_CONTEXT each = nullptr;
        while ((each = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                  &certificate->pCertInfo->Issuer, each)) != nullptr)
            if (NamedAsIssuer(certificate, each)) {
                found.push_back(CertDuplicateCertificateContext(each));
                check.held.push_back(found.back());
            }
    }
    return found;
}

// A signature check of the chain, while the budget lasts.
bool SignedWithinBudget(Check &check, PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer)
{
    if (++check.signatureChecks > MAX_CHAIN_SIGNATURE_CHECKS || GetTickCount64() >= check.deadline)
        return false;
    return SignedUnderKeyOf(certificate, issuer);
}

// Whether the URL is one the check fetches: plain http, as caIssuers are
// published (a file: or ldap: URL in a crafted certificate is not followed).
bool FetchableUrl(const wchar_t *url)
{
    return _wcsnicmp(url, L"http://", 7) == 0;
}

// The certificates of one answer: a DER certificate or a PKCS#7 bundle.
void AddAnswer(Check &check, const CRYPT_DATA_BLOB &answer, std::vector<PCCERT_CONTEXT> &certificates)
{
    if (answer.cbData == 0 || answer.cbData > MAX_ANSWER_BYTES)
        return;
    for (PCCERT_CONTEXT each : CertificatesInObject(answer.pbData, answer.cbData, CERT_QUERY_FORMAT_FLAG_BINARY)) {
        certificates.push_back(each);
        check.held.push_back(each);
        check.fetched.push_back(each);
    }
}

// Retrieves the certificates at one URL, within what is left of the check's
// time; false when the budget allows no retrieval.
bool Retrieve(Check &check, const wchar_t *url, std::vector<PCCERT_CONTEXT> &certificates)
{
    ULONGLONG now = GetTickCount64();
    if (check.retrievals >= MAX_RETRIEVALS || now >= check.deadline)
        return false;
    if (check.retrievals++ == 0 && check.beforeRetrieval)
        check.beforeRetrieval(check.context);
    std::vector<BYTE> answer;
    if (RetrieveWithinBounds(url, check.deadline, MAX_ANSWER_BYTES, answer)) {
        CRYPT_DATA_BLOB blob = {(DWORD)answer.size(), answer.data()};
        AddAnswer(check, blob, certificates);
    }
    return true;
}

// The caIssuers URLs of the certificate's Authority Information Access.
std::vector<std::wstring> IssuerUrls(PCCERT_CONTEXT certificate)
{
    std::vector<std::wstring> urls;
    DWORD size = 0;
    if (!CryptGetObjectUrl(URL_OID_CERTIFICATE_ISSUER, const_cast<CERT_CONTEXT *>(certificate), 0, nullptr, &size,
                           nullptr, nullptr, nullptr) ||
        size == 0)
        return urls;
    std::vector<BYTE> room(size);
    CRYPT_URL_ARRAY *array = reinterpret_cast<CRYPT_URL_ARRAY *>(room.data());
    if (!CryptGetObjectUrl(URL_OID_CERTIFICATE_ISSUER, const_cast<CERT_CONTEXT *>(certificate), 0, array, &size,
                           nullptr, nullptr, nullptr))
        return urls;
    for (DWORD i = 0; i < array->cUrl; i++)
        if (array->rgwszUrl[i] && FetchableUrl(array->rgwszUrl[i]))
            urls.push_back(array->rgwszUrl[i]);
    return urls;
}

// Whether the certificate is itself an anchor: a head centre's the program
// carries, or one of a "Root" store, byte for byte.
bool IsAnchor(Check &check, PCCERT_CONTEXT certificate)
{
    for (PCCERT_CONTEXT head : HeadCentres())
        if (SameCertificate(head, certificate))
            return true;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size))
        return false;
    CRYPT_HASH_BLOB thumbprint = {size, hash};
    for (size_t place : anchorStores) {
        HCERTSTORE store = SystemStore(check, place);
        PCCERT_CONTEXT found =
            store ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &thumbprint, nullptr)
                  : nullptr;
        bool same = found && SameCertificate(found, certificate);
        if (found)
            CertFreeCertificateContext(found);
        if (same)
            return true;
    }
    return false;
}

bool ChainsToAnchor(Check &check, std::vector<PCCERT_CONTEXT> &path, int linksLeft);

// Whether the certificate at the top of the path verifies under one of these
// candidates that is an anchor or itself chains to one.
bool LinkedThroughOneOf(Check &check, std::vector<PCCERT_CONTEXT> &path, int linksLeft,
                        const std::vector<PCCERT_CONTEXT> &candidates)
{
    PCCERT_CONTEXT certificate = path.back();
    for (PCCERT_CONTEXT candidate : candidates) {
        if (!MayCertify(path, candidate) || !SignedWithinBudget(check, certificate, candidate))
            continue;
        if (IsAnchor(check, candidate))
            return true;
        path.push_back(candidate);
        bool chains = ChainsToAnchor(check, path, linksLeft - 1);
        path.pop_back();
        if (chains)
            return true;
    }
    return false;
}

// Whether the certificate at the top of the path verifies under a
// certificate found on the token, in these stores, among those fetched so
// far or at its caIssuers URLs (those last), that is an anchor or chains to
// one through at most linksLeft - 1 more.
bool LinkedThroughFound(Check &check, std::vector<PCCERT_CONTEXT> &path, int linksLeft, const size_t *places,
                        size_t placeCount)
{
    PCCERT_CONTEXT certificate = path.back();
    std::vector<PCCERT_CONTEXT> known(check.token, check.token + check.tokenCount);
    std::vector<PCCERT_CONTEXT> stored = FoundInStores(check, certificate, places, placeCount);
    known.insert(known.end(), stored.begin(), stored.end());
    known.insert(known.end(), check.fetched.begin(), check.fetched.end());
    if (LinkedThroughOneOf(check, path, linksLeft, known))
        return true;
    for (const std::wstring &url : IssuerUrls(certificate)) {
        std::vector<PCCERT_CONTEXT> fetched;
        if (!Retrieve(check, url.c_str(), fetched))
            break;
        if (LinkedThroughOneOf(check, path, linksLeft, fetched))
            return true;
    }
    return false;
}

// Whether the certificate at the top of the path verifies under an anchor,
// or through at most linksLeft - 1 further centre certificates found as
// above. Only the head centres and "Root" anchor: nothing on the token, in
// "CA" or "My", or fetched, whatever it says of itself.
bool ChainsToAnchor(Check &check, std::vector<PCCERT_CONTEXT> &path, int linksLeft)
{
    PCCERT_CONTEXT certificate = path.back();
    std::vector<PCCERT_CONTEXT> anchors = FoundInStores(check, certificate, anchorStores, std::size(anchorStores));
    anchors.insert(anchors.end(), HeadCentres().begin(), HeadCentres().end());
    for (PCCERT_CONTEXT anchor : anchors)
        if (MayCertify(path, anchor) && SignedWithinBudget(check, certificate, anchor))
            return true;
    return linksLeft >= 2 && LinkedThroughFound(check, path, linksLeft, linkStores, std::size(linkStores));
}

// Whether known, another certificate than newCertificate, names the same
// issuer: the centre's name.
bool SameIssuerName(PCCERT_CONTEXT known, PCCERT_CONTEXT newCertificate)
{
    return known && !SameCertificate(known, newCertificate) &&
           CertCompareCertificateName(X509_ASN_ENCODING, &known->pCertInfo->Issuer,
                                      &newCertificate->pCertInfo->Issuer);
}

}  // namespace

bool CentreSignedCertificate(PCCERT_CONTEXT newCertificate, const PCCERT_CONTEXT *signedByCentre,
                             size_t signedByCentreCount, const PCCERT_CONTEXT *tokenCertificates,
                             size_t tokenCertificateCount, BeforeRetrieval beforeRetrieval, void *context)
{
    if (!newCertificate)
        return false;
    Check check;
    check.deadline = GetTickCount64() + CHECK_MILLISECONDS;
    check.token = tokenCertificates;
    check.tokenCount = tokenCertificateCount;
    check.beforeRetrieval = beforeRetrieval;
    check.context = context;

    // Case a: the key that signed a certificate of the same issuer name.
    bool namesHoldersCentre = false;
    for (size_t i = 0; i < signedByCentreCount; i++) {
        if (!SameIssuerName(signedByCentre[i], newCertificate))
            continue;
        if (SignedBySignerOf(newCertificate, signedByCentre[i]))
            return true;
        namesHoldersCentre = true;
    }
    // Every other issuer: a certificate of the holder's centre's name (an
    // issuer name of signedByCentre), found on the token, in a store or at
    // the new certificate's caIssuers URLs (those last), that is an anchor
    // or chains to one. Any other centre certified by a head or a "Root"
    // certificate could sign an answer too: it is the name that makes it
    // the holder's centre.
    if (!namesHoldersCentre)
        return false;
    std::vector<PCCERT_CONTEXT> path = {newCertificate};
    return LinkedThroughFound(check, path, MAX_LINKS_ABOVE_ISSUER + 1, issuerStores, std::size(issuerStores));
}
