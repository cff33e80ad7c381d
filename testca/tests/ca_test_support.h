// What the testca tests share: running testca and openssl, a CA with a paid
// holder, requests made by OpenSSL itself, and a client of the server.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "ossl.h"

// A fresh empty folder for one test under the build tree.
std::string FreshDir(const std::string &name);

// Runs a shell command (with a time-out) and returns its exit status;
// output receives stdout and stderr together.
int Shell(const std::string &command, std::string *output = nullptr);
std::string Quote(const std::string &text);
std::string Testca();

X509Ptr ReadCert(const std::string &path);
// The caIssuers URL of a certificate's Authority Information Access; empty without one.
std::string CaIssuersUrl(X509 *cert);
X509Ptr CertFromBytes(const Bytes &der);
X509ReqPtr ReadReq(const std::string &path);
std::string ReadText(const std::string &path);
std::vector<std::string> JournalLines(const std::string &caDir);

// A certificate holder made by testca mint: certificate (PEM) and key.
struct Holder {
  std::string certPem;
  std::string keyPem;
  std::string serial;
};
// keyOptions: mint's options for the key, e.g. "--kind 2012-512 --paramset C".
Holder MintHolder(const std::string &caDir, const std::string &workDir, const std::string &name,
                  const std::vector<std::string> &rdns, const std::string &keyOptions = "");

// The subject and extensions of a renewal request, as OpenSSL's req
// configuration lines ("SN = Иванов", "keyUsage = ...").
struct RequestOrder {
  std::vector<std::string> subject;
  std::vector<std::string> extensions;
  std::string keyPem;  // empty: a fresh key made with keyAlgorithm
  std::string keyAlgorithm = "-algorithm gost2001 -pkeyopt paramset:A";
};
// The four extensions a renewal request carries.
std::vector<std::string> RenewalExtensions();
// Writes a DER PKCS#10 request made by openssl req; returns its path.
std::string MakeRequest(const std::string &workDir, const std::string &name, const RequestOrder &order);
// CMS SignedData (DER) over a file, made by openssl cms with the holder's key
// and the digest the GOST engine chooses for it.
Bytes SignWith(const Holder &holder, const std::string &contentPath, const std::string &workDir);
std::string WritePaymentContent(const std::string &workDir);

// testca serve on a free port, stopped by Stop or the destructor.
class ServerProcess {
 public:
  ~ServerProcess();
  bool Start(const std::string &caDir, const std::vector<std::string> &args = {});
  // SIGTERM, then waits; the exit status, or -1 when it did not end in time.
  int Stop();
  int port() const { return port_; }
  // The port of the certificates' HTTP server (a free one), 0 when off.
  int httpPort() const { return httpPort_; }

 private:
  pid_t pid_ = 0;
  int port_ = 0;
  int httpPort_ = 0;
};

struct Reply {
  Bytes bytes;
  bool reset = false;  // the connection ended with a reset
  int reads = 0;       // recv calls that returned data
  bool timedOut = false;
};
// One exchange: connect, send, read until the server closes (30 s at most).
Reply Exchange(int port, const Bytes &request);
int Connect(int port);
Reply ReadToEnd(int fd);
