// The certificates of make_certs.sh (a test authority and server certificates:
// valid, wrong host name, expired, unknown issuer and the other faults listed
// there), made once per test program
// with the openssl command, and servers that present them.
#pragma once

#include <string>

#include "tests/support/SmtpSink.h"

namespace testsupport {

class TestCertificates {
public:
    // Makes the certificates on first use; throws std::runtime_error when
    // openssl fails.
    static const TestCertificates& Get();

    // kind: a name of make_certs.sh ("valid", "wronghost", "expired", "unknown", ...).
    std::string Cert(const std::string& kind) const { return folder_.Path() + "/" + kind + ".pem"; }
    std::string Key(const std::string& kind) const { return folder_.Path() + "/" + kind + ".key"; }
    std::string AuthorityFile() const { return folder_.Path() + "/ca.pem"; }
    // SHA-256 fingerprint of kind's certificate as the openssl command prints it.
    std::string Fingerprint(const std::string& kind) const;

    // From now on this process trusts the test authority instead of the
    // system's list (SSL_CERT_FILE); call it before any thread looks.
    void TrustAuthority() const;

    // Server options presenting kind's certificate: STARTTLS, or TLS at once.
    SmtpSink::Options StartTls(const std::string& kind) const;
    SmtpSink::Options ImplicitTls(const std::string& kind) const;

private:
    TestCertificates();
    TempFolder folder_;
};

}  // namespace testsupport
