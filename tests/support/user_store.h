// The current user's certificate stores ("CA", "Root", "My") of the test's
// Wine prefix, kept in its registry: a test installs a centre's certificate
// there as a holder would (Wine has no certutil).
#pragma once

#include <string>

// The certificate (DER) in the store for as long as this lives; removed again
// at its end, so that later tests of the lane find the stores as before.
// Both go through the store's registry key, the one Wine keeps for the user,
// and the removal finds the certificate by its SHA-1 thumbprint (the name of
// its registry key): test centres of one name share issuer and serial.
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
    unsigned char thumbprint_[20] = {};
    bool installed_ = false;
};
