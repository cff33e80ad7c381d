#include "token/token_certificates.h"

#include "token/key_pair_search.h"

// The object's CKA_VALUE as a certificate; null when it cannot be read or
// does not decode.
static PCCERT_CONTEXT CertificateOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object)
{
    std::vector<CK_BYTE> der;
    if (!ReadAttribute(session, object, CKA_VALUE, der) || der.empty())
        return nullptr;
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
}

std::vector<PCCERT_CONTEXT> ReadTokenCertificates(CK_SESSION_HANDLE session)
{
    std::vector<PCCERT_CONTEXT> certificates;
    for (CK_OBJECT_HANDLE object : ObjectsOfClass(session, CKO_CERTIFICATE))
        if (PCCERT_CONTEXT certificate = CertificateOf(session, object))
            certificates.push_back(certificate);
    return certificates;
}

std::vector<PCCERT_CONTEXT> ReadTokenCertificatesInSlot(CK_SLOT_ID slot)
{
    std::vector<PCCERT_CONTEXT> certificates;
    CK_SESSION_HANDLE session = 0;
    if (C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
        return certificates;
    certificates = ReadTokenCertificates(session);
    C_CloseSession(session);
    return certificates;
}

void FreeTokenCertificates(std::vector<PCCERT_CONTEXT> &certificates)
{
    for (PCCERT_CONTEXT certificate : certificates)
        CertFreeCertificateContext(certificate);
    certificates.clear();
}
