#include "tests/support/Certificates.h"

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

TestCertificates::TestCertificates()
{
    auto r = RunProgram({"/bin/bash", std::string(VELTROW_SUPPORT_DIR) + "/make_certs.sh", folder_.Path()});
    if (r.ExitCode != 0)
        throw std::runtime_error("make_certs.sh failed: " + r.Output);
}

const TestCertificates& TestCertificates::Get()
{
    static const TestCertificates certificates;
    return certificates;
}

std::string TestCertificates::Fingerprint(const std::string& kind) const
{
    auto r = RunProgram({"/usr/bin/openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", Cert(kind)});
    // "sha256 Fingerprint=AB:CD:..."
    const size_t eq = r.Output.find('=');
    if (r.ExitCode != 0 || eq == std::string::npos)
        throw std::runtime_error("openssl x509 failed: " + r.Output);
    std::string fp = r.Output.substr(eq + 1);
    while (!fp.empty() && (fp.back() == '\n' || fp.back() == '\r'))
        fp.pop_back();
    return fp;
}

void TestCertificates::TrustAuthority() const { setenv("SSL_CERT_FILE", AuthorityFile().c_str(), 1); }

SmtpSink::Options TestCertificates::StartTls(const std::string& kind) const
{
    SmtpSink::Options o;
    o.CertFile = Cert(kind);
    o.KeyFile = Key(kind);
    return o;
}

SmtpSink::Options TestCertificates::ImplicitTls(const std::string& kind) const
{
    SmtpSink::Options o = StartTls(kind);
    o.ImplicitTls = true;
    return o;
}

}  // namespace testsupport
