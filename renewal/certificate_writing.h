// Writing onto the token a certificate that the holder has as a file: the one
// kept in a file when the token refused it, or one that the certification
// centre sent after a renewal whose answer never arrived.
#pragma once

#include <windows.h>

// "Записать сертификат из файла...": asks for the file, then, behind a
// progress dialog owned by owner, writes the certificate beside its key pair.
void WriteCertificateFromFile(HWND owner);
