// The current user's certificate stores ("CA", "Root", "My") of the test's
// Wine prefix, kept in its registry: a test installs a centre's certificate
// there as a holder would (Wine has no certutil).
#pragma once

#include <string>

// The certificate (DER) in the store for as long as this lives; removed again
// at its end, so that later tests of the lane find the stores as before.
class UserStoreCertificate {
public:
    UserStoreCertificate(const wchar_t *store, const std::string &der);
    ~UserStoreCertificate();
    // Whether the store took it.
    bool installed() const { return installed_; }

private:
    UserStoreCertificate(const UserStoreCertificate &) = delete;
    UserStoreCertificate &operator=(const UserStoreCertificate &) = delete;
    std::wstring store_;
    std::string der_;
    bool installed_ = false;
};
