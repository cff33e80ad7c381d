// How long the check of the centre's signature on a new certificate takes,
// over certificates the test centre makes: the usual renewal (the key found
// from the current certificate's signature), the centre's certificate on the
// token, and a forgery (every curve of its size and every store asked in
// vain). Prints the figures; it times nothing against a limit.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cert/centre_chain.h"
#include "support/unix_command.h"

namespace {

int const runs = 21;
double firstCheckMs = -1;  // the process's first check also starts libgcrypt

PCCERT_CONTEXT Certificate(const std::string &dir, const char *name)
{
    std::string der;
    if (!ReadFileBytes(dir + "/" + name + ".der", der))
        return nullptr;
    return CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der.data(), (DWORD)der.size());
}

double Milliseconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

// The median time of one check, and whether it gave the answer expected.
double Median(PCCERT_CONTEXT fresh, std::vector<PCCERT_CONTEXT> signedBy, std::vector<PCCERT_CONTEXT> token,
              bool expected, bool &right)
{
    std::vector<double> times;
    right = true;
    for (int run = 0; run < runs; ++run) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        bool trusted = CentreSignedCertificate(fresh, signedBy.data(), signedBy.size(), token.data(), token.size());
        QueryPerformanceCounter(&end);
        right = right && trusted == expected;
        times.push_back(Milliseconds(start, end));
        if (firstCheckMs < 0)
            firstCheckMs = times.back();
    }
    std::sort(times.begin(), times.end());
    return times[runs / 2];
}

}  // namespace

int main()
{
    std::string testca = TestEnv("KESTRAVA_TESTCA");
    if (testca.empty())
        testca = TESTCA_EXECUTABLE;
    int status = 0;
    for (const char *kind : {"2001", "2012-256", "2012-512"}) {
        std::string dir = FreshWorkDir(std::string("centre_signature_bench-") + kind), output;
        std::string t = ShellQuote(testca), centre = std::string(" --kind ") + kind;
        if (RunUnix("cd " + ShellQuote(dir) + " && " + t + " init ca" + centre + " && cp ca/ca.der ca.der && " + t +
                        " mint ca --out current.der --key-out k.pem --rdn CN=current && " + t +
                        " mint ca --out fresh.der --key-out k.pem --rdn CN=fresh && " + t + " init other" + centre +
                        " && " + t + " mint other --out forged.der --key-out k.pem --rdn CN=fresh",
                    &output) != 0) {
            printf("centre's signature, %s: the test centre failed: %s\n", kind, output.c_str());
            status = 1;
            continue;
        }
        PCCERT_CONTEXT ca = Certificate(dir, "ca"), current = Certificate(dir, "current"),
                       fresh = Certificate(dir, "fresh"), forged = Certificate(dir, "forged");
        bool usual, onToken, forgery;
        double usualMs = Median(fresh, {current}, {current}, true, usual);
        double onTokenMs = Median(fresh, {}, {current, ca}, true, onToken);
        double forgeryMs = Median(forged, {current}, {current}, false, forgery);
        if (!usual || !onToken || !forgery) {
            printf("centre's signature, %s: a wrong answer\n", kind);
            status = 1;
        }
        printf("centre's signature, %-8s: usual renewal %.1f ms, centre's certificate on the token %.1f ms, "
               "forgery refused %.1f ms (medians of %d)\n",
               kind, usualMs, onTokenMs, forgeryMs, runs);
        for (PCCERT_CONTEXT context : {ca, current, fresh, forged})
            CertFreeCertificateContext(context);
    }
    printf("centre's signature: the first check of the process %.1f ms\n", firstCheckMs);
    return status;
}
