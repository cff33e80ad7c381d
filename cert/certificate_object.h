// The certificates that a certificate or a PKCS#7 bundle holds, as crypt32
// reads them: the answer of a centre's certificate server and the files
// centres send are both such objects.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

// Every certificate of the object, in order, as crypt32 gives it (the
// encoding may carry bytes that follow the certificate); none when the
// object is neither a certificate nor a PKCS#7 bundle in one of formats
// (CERT_QUERY_FORMAT_FLAG_...). The caller frees them.
std::vector<PCCERT_CONTEXT> CertificatesInObject(const BYTE *bytes, DWORD length, DWORD formats);
