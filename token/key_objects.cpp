#include "token/key_objects.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <p11-kit/pkcs11x.h>

// DER of 1.2.643.2.2.35.1, the CryptoPro-A parameter set of GOST R 34.10-2001.
static CK_BYTE STR_CRYPTO_PRO_A[9] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
// DER of the Streebog digests, 1.2.643.7.1.1.2.2 (256) and .2.3 (512), that
// tell GOST R 34.10-2012 keys from 2001 ones.
static CK_BYTE STR_STREEBOG_256[10] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
static CK_BYTE STR_STREEBOG_512[10] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03};
static CK_BBOOL token = CK_TRUE;
static CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
// Calls of C_DestroyObject for one object before the removal gives up on it.
static const int DESTROY_TRIES = 3;

// A failed search call is reported and the operation goes on with its next
// call; the count that results decides.
static void ReportSearchFailure(HWND owner, const wchar_t *function)
{
    MessageBoxW(owner, function, L"Ошибка", MB_OK | MB_ICONERROR);
}

CK_ULONG FindCurrentCertificate(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength,
                                HWND owner, void (*step)(HWND), HWND stepWindow,
                                CK_OBJECT_HANDLE *userCert)
{
    CK_ATTRIBUTE certAttribs[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_ID, (void *)id, idLength},
    };
    CK_OBJECT_HANDLE found[16] = {};
    CK_ULONG certsFound = 0;

    if (C_FindObjectsInit(session, certAttribs, 2) != CKR_OK)
        ReportSearchFailure(owner, L"C_FindObjectsInit");
    step(stepWindow);
    if (FindObjectsUpTo(session, found, 16, &certsFound) != CKR_OK)
        ReportSearchFailure(owner, L"C_FindObjects");
    step(stepWindow);
    if (C_FindObjectsFinal(session) != CKR_OK)
        ReportSearchFailure(owner, L"C_FindObjectsFinal");
    step(stepWindow);

    *userCert = found[0];
    return certsFound;
}

void MakeNewCKAIDAt(const SYSTEMTIME &stLocal, const wchar_t *inn, CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH])
{
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04i%02i%02i%02i%02i%02i-", stLocal.wYear, stLocal.wMonth, stLocal.wDay,
             stLocal.wHour, stLocal.wMinute, stLocal.wSecond);
    memset(NewCKAID, 0, NEW_CKA_ID_LENGTH);
    memcpy(NewCKAID, stamp, 15);
    for (int i = 0; i < 12 && inn[i] != 0; ++i)
        NewCKAID[15 + i] = (CK_BYTE)(inn[i] & 0xFF);
}

void MakeNewCKAID(const wchar_t *inn, CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH])
{
    SYSTEMTIME stUTC, stLocal;
    GetSystemTime(&stUTC);
    SystemTimeToTzSpecificLocalTime(nullptr, &stUTC, &stLocal);
    MakeNewCKAIDAt(stLocal, inn, NewCKAID);
}

bool IsRenewalCKAID(const CK_BYTE *id, CK_ULONG length)
{
    const CK_ULONG stampLength = 14;
    if (length <= stampLength || length > NEW_CKA_ID_LENGTH || id[stampLength] != '-')
        return false;
    CK_ULONG i = 0;
    while (i < stampLength && id[i] >= '0' && id[i] <= '9')
        ++i;
    if (i < stampLength)
        return false;
    for (i = stampLength + 1; i < length && id[i] >= '0' && id[i] <= '9'; ++i) {
    }
    while (i < length && id[i] == 0)
        ++i;
    return i == length;
}

bool RenewalCKAIDTime(const CK_BYTE *id, CK_ULONG length, SYSTEMTIME *startLocal)
{
    if (!IsRenewalCKAID(id, length))
        return false;
    // The stamp MakeNewCKAIDAt writes: YYYYMMDDhhmmss.
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    WORD fields[6] = {};
    const CK_BYTE *digit = id;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < widths[i]; ++j, ++digit)
            fields[i] = (WORD)(fields[i] * 10 + (*digit - '0'));
    *startLocal = SYSTEMTIME{};
    startLocal->wYear = fields[0];
    startLocal->wMonth = fields[1];
    startLocal->wDay = fields[2];
    startLocal->wHour = fields[3];
    startLocal->wMinute = fields[4];
    startLocal->wSecond = fields[5];
    return true;
}

std::string RenewalCKAIDInn(const CK_BYTE *id, CK_ULONG length)
{
    std::string inn;
    if (!IsRenewalCKAID(id, length))
        return inn;
    // After the stamp and its '-': the digits, then zero bytes.
    for (CK_ULONG i = 15; i < length && id[i] != 0; ++i)
        inn += (char)id[i];
    return inn;
}

CK_RV GenerateRenewalKeyPair(CK_SESSION_HANDLE session, const CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH],
                             const CertRecord &record, CK_OBJECT_HANDLE *publicKey, CK_OBJECT_HANDLE *privateKey)
{
    CK_MECHANISM mech = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    static char publicLabel[] = "Public key";
    static char privateLabel[] = "Private key";
    // A 2001 key keeps the fixed CryptoPro-A set and no digest attribute,
    // the templates tokens have always been given for it.
    void *keyParams = STR_CRYPTO_PRO_A;
    CK_ULONG keyParamsLength = sizeof STR_CRYPTO_PRO_A;
    CK_BYTE *digestParams = nullptr;
    switch (record.keyKind) {
    case KeyGost2001:
        break;
    case KeyGost2012_256:
        keyParams = (void *)record.keyParamSet;
        keyParamsLength = record.keyParamSetLength;
        digestParams = STR_STREEBOG_256;
        break;
    case KeyGost2012_512:
        mech.mechanism = CKM_GOSTR3410_512_KEY_PAIR_GEN;
        keyParams = (void *)record.keyParamSet;
        keyParamsLength = record.keyParamSetLength;
        digestParams = STR_STREEBOG_512;
        break;
    default:
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    CK_ATTRIBUTE pubKeyAttribs[] = {
        {CKA_TOKEN, &token, sizeof token},
        {CKA_LABEL, publicLabel, 10},
        {CKA_GOSTR3410_PARAMS, keyParams, keyParamsLength},
        {CKA_GOSTR3411_PARAMS, digestParams, sizeof STR_STREEBOG_256},
        {CKA_ID, (void *)NewCKAID, NEW_CKA_ID_LENGTH},
    };
    CK_ATTRIBUTE prKeyAttribs[] = {
        {CKA_TOKEN, &token, sizeof token},
        {CKA_LABEL, privateLabel, 11},
        {CKA_GOSTR3410_PARAMS, keyParams, keyParamsLength},
        {CKA_GOSTR3411_PARAMS, digestParams, sizeof STR_STREEBOG_256},
        {CKA_ID, (void *)NewCKAID, NEW_CKA_ID_LENGTH},
    };
    // Without a digest attribute the identifier takes its place: four each.
    CK_ULONG count = 5;
    if (digestParams == nullptr) {
        pubKeyAttribs[3] = pubKeyAttribs[4];
        prKeyAttribs[3] = prKeyAttribs[4];
        count = 4;
    }
    return C_GenerateKeyPair(session, &mech, pubKeyAttribs, count, prKeyAttribs, count, publicKey, privateKey);
}

CK_RV StoreNewCertificate(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength,
                          const CK_BYTE *certificate, CK_ULONG length, CK_OBJECT_HANDLE *new_cert_handle)
{
    static char label[] = "EGAIS";
    CK_ATTRIBUTE newCertAttr[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_TOKEN, &token, sizeof token},
        {CKA_LABEL, label, 5},
        {CKA_ID, (void *)id, idLength},
        {CKA_VALUE, (void *)certificate, length},
    };
    return C_CreateObject(session, newCertAttr, 5, new_cert_handle);
}

// With a null report the failed searches show nothing.
static void DestroyById(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength, HWND owner,
                        void (*report)(HWND, const wchar_t *))
{
    // An empty CKA_ID template would match every object on the token.
    if (id == nullptr || idLength == 0)
        return;
    CK_ATTRIBUTE certAttribs2[] = {{CKA_ID, (void *)id, idLength}};
    std::set<CK_OBJECT_HANDLE> destroyed;
    std::map<CK_OBJECT_HANDLE, int> failedTries;
    for (;;) {
        CK_OBJECT_HANDLE del_obj = CK_INVALID_HANDLE;
        CK_ULONG del_obj_count = 0;
        bool stop = false;
        if (C_FindObjectsInit(session, certAttribs2, 1) != CKR_OK && report)
            report(owner, L"C_FindObjectsInit");
        if (FindObjectsUpTo(session, &del_obj, 1, &del_obj_count) != CKR_OK && report)
            report(owner, L"C_FindObjects");
        if (del_obj_count > 0) {
            // A token may stumble once: the next pass finds the object again
            // and tries again. One that will not go in DESTROY_TRIES, or
            // comes back, would keep every later pass finding it: stop
            // instead of searching forever.
            if (destroyed.count(del_obj) != 0)
                stop = true;
            else if (C_DestroyObject(session, del_obj) == CKR_OK)
                destroyed.insert(del_obj);
            else if (++failedTries[del_obj] >= DESTROY_TRIES)
                stop = true;
        }
        if (C_FindObjectsFinal(session) != CKR_OK && report)
            report(owner, L"C_FindObjectsFinal");
        if (del_obj_count == 0 || stop)
            break;
    }
}

void DestroyObjectsById(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength, HWND owner)
{
    DestroyById(session, id, idLength, owner, ReportSearchFailure);
}

void RemoveNewKeyPair(CK_SESSION_HANDLE session, const CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH])
{
    DestroyById(session, NewCKAID, NEW_CKA_ID_LENGTH, nullptr, nullptr);
}
