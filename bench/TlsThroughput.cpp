// Messages per second through one aiosmtpd server (STARTTLS offered, AUTH
// over TLS): TNMSMTP in plain SMTP, TNMSMTP over STARTTLS with a login, and
// Python's smtplib over STARTTLS with a login, one after the other in the
// same run, each over one connection.
//
//   smtp_tls_throughput [count]     (count default 1000, at most 20000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "smtp/NMsmtp.h"
#include "tests/support/Certificates.h"
#include "tests/support/SmtpSink.h"

namespace {

constexpr const char* kLogin = "bench";
constexpr const char* kPassword = "bench-password";

// Sends count messages over one connection; returns messages per second of
// the sends alone.
double Run(uint16_t port, TSmtpSecurity security, int count)
{
    TNMSMTP smtp(nullptr);
    smtp.Host = "localhost";
    smtp.Port = port;
    smtp.TimeOut = 30000;
    smtp.UserID = "bench";
    smtp.Security = security;
    if (security != ssNone) {
        smtp.Login = kLogin;
        smtp.Password = kPassword;
    }
    smtp.PostMessage->FromAddress = "sender@example.com";
    smtp.PostMessage->Subject = "Throughput";
    for (const char* l : {"Hello,", "this is a short benchmark message.", "Regards"})
        smtp.PostMessage->Body->Add(l);
    smtp.Connect();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        smtp.PostMessage->ToAddress->Clear();
        smtp.PostMessage->ToAddress->Add("rcpt" + std::to_string(i) + "@example.com");
        smtp.SendMail();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    smtp.Disconnect();
    return count / wall;
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 20000) : 1000;
    const auto& certs = testsupport::TestCertificates::Get();
    certs.TrustAuthority();
    testsupport::SmtpSink::Options options = certs.StartTls("valid");
    options.Login = kLogin;
    options.Password = kPassword;
    testsupport::SmtpSink sink(options);

    const double plain = Run(sink.Port(), ssNone, count);
    const double starttls = Run(sink.Port(), ssStartTls, count);
    const auto python = testsupport::RunProgram(
        {"/usr/bin/python3", VELTROW_SOURCE_DIR "/bench/smtplib_starttls.py", std::to_string(sink.Port()),
         std::to_string(count), certs.AuthorityFile(), kLogin, kPassword},
        600000);
    if (!sink.WaitForMessages(static_cast<size_t>(3 * count), 60000)) {
        std::printf("FAIL: the server stored %zu of %d messages\n%s", sink.MessageCount(), 3 * count,
                    python.Output.c_str());
        return 1;
    }
    std::printf("%d messages each over one connection to aiosmtpd on loopback:\n", count);
    std::printf("  TNMSMTP plain SMTP:          %.0f messages/s\n", plain);
    std::printf("  TNMSMTP STARTTLS + AUTH:     %.0f messages/s\n", starttls);
    std::printf("  Python smtplib STARTTLS + AUTH: %s", python.Output.c_str());
    return python.ExitCode == 0 ? 0 : 1;
}
