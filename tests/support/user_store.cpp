#include "support/user_store.h"

#include <windows.h>
#include <wincrypt.h>

static HCERTSTORE OpenUserRegistryStore(const std::wstring &store)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store.c_str());
}

UserStoreCertificate::UserStoreCertificate(const wchar_t *store, const std::string &der) : store_(store)
{
    DWORD size = sizeof thumbprint_;
    if (!CryptHashCertificate(0, CALG_SHA1, 0, (const BYTE *)der.data(), (DWORD)der.size(), thumbprint_, &size))
        return;
    HCERTSTORE registry = OpenUserRegistryStore(store_);
    if (!registry)
        return;
    installed_ = CertAddEncodedCertificateToStore(registry, X509_ASN_ENCODING, (const BYTE *)der.data(),
                                                  (DWORD)der.size(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    CertCloseStore(registry, 0);
}

UserStoreCertificate::~UserStoreCertificate()
{
    if (!installed_)
        return;
    HCERTSTORE registry = OpenUserRegistryStore(store_);
    if (!registry)
        return;
    CRYPT_HASH_BLOB hash = {sizeof thumbprint_, thumbprint_};
    while (PCCERT_CONTEXT found =
               CertFindCertificateInStore(registry, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr))
        if (!CertDeleteCertificateFromStore(found))  // frees found
            break;
    CertCloseStore(registry, 0);
}
