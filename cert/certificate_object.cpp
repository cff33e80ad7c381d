#include "cert/certificate_object.h"

std::vector<PCCERT_CONTEXT> CertificatesInObject(const BYTE *bytes, DWORD length, DWORD formats)
{
    std::vector<PCCERT_CONTEXT> certificates;
    CERT_BLOB blob = {length, const_cast<BYTE *>(bytes)};
    HCERTSTORE store = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob,
                          CERT_QUERY_CONTENT_FLAG_CERT | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED |
                              CERT_QUERY_CONTENT_FLAG_PKCS7_UNSIGNED,
                          formats, 0, nullptr, nullptr, nullptr, &store, nullptr, nullptr))
        return certificates;
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(store, each)) != nullptr)
        certificates.push_back(CertDuplicateCertificateContext(each));
    CertCloseStore(store, 0);
    return certificates;
}
