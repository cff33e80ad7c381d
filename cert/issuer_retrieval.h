// One retrieval of a centre's published certificate, bounded by the program
// itself: whatever the server does (never answers, answers a byte at a time,
// streams without end), it is over by the caller's deadline and holds no
// more of the answer than the caller's bound.
#pragma once

#include <windows.h>

#include <vector>

// Fetches the object at an http URL into answer, the way the platform's own
// retrieval would: the system's proxy settings, nothing taken from or
// written to the cache, no credentials, cookies or windows, redirects
// followed only to http URLs. True when status 200 and the whole answer,
// of 1 to maxBytes bytes, came before deadline (a GetTickCount64 time);
// returns by then in every case.
bool RetrieveWithinBounds(const wchar_t *url, ULONGLONG deadline, DWORD maxBytes, std::vector<BYTE> &answer);
