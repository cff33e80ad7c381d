// How long the check of the centre's signature on a new certificate takes,
// over certificates the test centre makes: the usual renewal (the key found
// from the current certificate's signature), the centre's certificate on the
// token, a forgery (every curve of its size and every store asked in vain,
// the centre's certificate server not listening), and a renewal after the
// centre changed its key (its new certificate fetched over loopback, the test
// head in the user's "Root"). Prints the figures; it times nothing against a
// limit.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_time.h"
#include "cert/centre_chain.h"
#include "support/unix_command.h"
#include "support/user_store.h"

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

// The certificates' HTTP port of the re-keyed centre, away from the test
// centre's default one.
const char rekeyHttpPort[] = "28580";

// The usual case for a real holder: the centre changed its key, and its new
// certificate is only at the URL the answer names. Prints the figure; false
// when something failed.
bool RekeyedCentre(const std::string &testca)
{
    std::string dir = FreshWorkDir("centre_signature_bench-rekey"), output, t = ShellQuote(testca);
    if (RunUnix("cd " + ShellQuote(dir) + " && " + t + " init ca --http-port " + rekeyHttpPort + " && " + t +
                    " mint ca --out current.der --key-out k.pem --rdn CN=current && " + t + " rekey ca && " + t +
                    " mint ca --out fresh.der --key-out k.pem --rdn CN=fresh && cp ca/head/ca.der head.der",
                &output) != 0) {
        printf("centre's signature, re-keyed centre: the test centre failed: %s\n", output.c_str());
        return false;
    }
    int server = StartUnix("cd " + ShellQuote(dir) + " && exec " + t + " serve ca --port 0 --http-port " +
                               rekeyHttpPort,
                           dir + "/serve.log");
    std::string log;
    for (int i = 0; i < 100 && log.find("listening on") == std::string::npos; i++) {
        Sleep(100);
        ReadFileBytes(dir + "/serve.log", log);
    }
    std::string head;
    ReadFileBytes(dir + "/head.der", head);
    PCCERT_CONTEXT current = Certificate(dir, "current"), fresh = Certificate(dir, "fresh");
    bool right = false;
    double fetchMs = 0;
    {
        UserStoreCertificate anchor(L"Root", head);
        if (anchor.installed() && log.find("listening on") != std::string::npos)
            fetchMs = Median(fresh, {current}, {}, true, right);
    }
    StopUnix(server);
    for (PCCERT_CONTEXT context : {current, fresh})
        CertFreeCertificateContext(context);
    if (!right) {
        printf("centre's signature, re-keyed centre: a wrong answer (server: %s)\n", log.c_str());
        return false;
    }
    printf("centre's signature, re-keyed centre: its certificate fetched over loopback %.1f ms (median of %d)\n",
           fetchMs, runs);
    return true;
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
                        " mint ca --out fresh.der --key-out k.pem --rdn CN=fresh && cp ca/head/ca.der head.der && " +
                        t + " init other" + centre +
                        " && " + t + " mint other --out forged.der --key-out k.pem --rdn CN=fresh && " + t +
                        " mint other --out bare.der --key-out k.pem --rdn CN=fresh --no-default-ext",
                    &output) != 0) {
            printf("centre's signature, %s: the test centre failed: %s\n", kind, output.c_str());
            status = 1;
            continue;
        }
        PCCERT_CONTEXT ca = Certificate(dir, "ca"), current = Certificate(dir, "current"),
                       fresh = Certificate(dir, "fresh"), forged = Certificate(dir, "forged"),
                       bare = Certificate(dir, "bare");
        bool usual, onToken, forgery, unreachable;
        double usualMs = Median(fresh, {current}, {current}, true, usual);
        // The head in "Root", the centre's name from a certificate its key did not sign.
        std::string head;
        ReadFileBytes(dir + "/head.der", head);
        UserStoreCertificate anchor(L"Root", head);
        double onTokenMs = Median(fresh, {forged}, {current, ca}, true, onToken);
        // The store search alone: a forgery that names no URL to fetch.
        double forgeryMs = Median(bare, {current}, {current}, false, forgery);
        double unreachableMs = Median(forged, {current}, {current}, false, unreachable);
        if (!usual || !onToken || !forgery || !unreachable) {
            printf("centre's signature, %s: a wrong answer\n", kind);
            status = 1;
        }
        printf("centre's signature, %-8s: usual renewal %.1f ms, centre's certificate on the token %.1f ms, "
               "forgery refused after the store search %.1f ms, and after its URL refused the connection %.1f ms "
               "(medians of %d)\n",
               kind, usualMs, onTokenMs, forgeryMs, unreachableMs, runs);
        for (PCCERT_CONTEXT context : {ca, current, fresh, forged, bare})
            CertFreeCertificateContext(context);
    }
    if (!RekeyedCentre(testca))
        status = 1;
    printf("centre's signature: the first check of the process %.1f ms\n", firstCheckMs);
    return status;
}
