#include "support/user_store.h"

#include <windows.h>
#include <wincrypt.h>

UserStoreCertificate::UserStoreCertificate(const wchar_t *store, const std::string &der) : store_(store), der_(der)
{
    HCERTSTORE system = CertOpenSystemStoreW(0, store);
    if (!system)
        return;
    installed_ = CertAddEncodedCertificateToStore(system, X509_ASN_ENCODING, (const BYTE *)der.data(),
                                                  (DWORD)der.size(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    CertCloseStore(system, 0);
}

UserStoreCertificate::~UserStoreCertificate()
{
    if (!installed_)
        return;
    HCERTSTORE system = CertOpenSystemStoreW(0, store_.c_str());
    if (!system)
        return;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der_.data(),
                                                         (DWORD)der_.size());
    PCCERT_CONTEXT found =
        wanted ? CertFindCertificateInStore(system, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
               : nullptr;
    if (found)
        CertDeleteCertificateFromStore(found);  // frees found
    if (wanted)
        CertFreeCertificateContext(wanted);
    CertCloseStore(system, 0);
}
