#include "token/token_certificates.h"

namespace {

// A token that keeps finding objects is not read on for ever.
CK_ULONG const maxCertificates = 1024;
// Far above any certificate: a larger value is passed over.
CK_ULONG const maxValueLength = 64 * 1024;

// The certificate objects, read until the search gives none.
std::vector<CK_OBJECT_HANDLE> CertificateObjects(CK_SESSION_HANDLE session)
{
    std::vector<CK_OBJECT_HANDLE> objects(maxCertificates);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE certAttribs[] = {{CKA_CLASS, &certClass, sizeof certClass}};
    CK_ULONG found = 0;
    if (C_FindObjectsInit(session, certAttribs, 1) != CKR_OK)
        return {};
    if (FindObjectsUpTo(session, objects.data(), maxCertificates, &found) != CKR_OK)
        found = 0;
    C_FindObjectsFinal(session);
    objects.resize(found);
    return objects;
}

// The object's CKA_VALUE as a certificate; null when it cannot be read or
// does not decode.
PCCERT_CONTEXT CertificateOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object)
{
    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    if (C_GetAttributeValue(session, object, &value, 1) != CKR_OK || value.ulValueLen == 0 ||
        value.ulValueLen == CK_UNAVAILABLE_INFORMATION || value.ulValueLen > maxValueLength)
        return nullptr;
    CK_ULONG room = value.ulValueLen;
    std::vector<BYTE> der(room);
    value.pValue = der.data();
    if (C_GetAttributeValue(session, object, &value, 1) != CKR_OK || value.ulValueLen > room)
        return nullptr;
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), value.ulValueLen);
}

}  // namespace

std::vector<PCCERT_CONTEXT> ReadTokenCertificates(CK_SESSION_HANDLE session)
{
    std::vector<PCCERT_CONTEXT> certificates;
    for (CK_OBJECT_HANDLE object : CertificateObjects(session))
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
