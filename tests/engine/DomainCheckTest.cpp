// The sender's domain check against a DNS server of the test's own
// (dns_server.py) on a loopback address, passed to QDnsLookup.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <iterator>

#include "engine/DomainCheck.h"

namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "compliance_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class DnsServer {
public:
    explicit DnsServer(const QStringList& args)
    {
        process_.start(VELTROW_PYTHON, QStringList{VELTROW_SOURCE_DIR "/tests/engine/dns_server.py"} + args);
        // Bounded by the process: it prints its address or ends.
        while (process_.state() != QProcess::NotRunning && !process_.canReadLine())
            process_.waitForReadyRead(1000);
        address_ = QString::fromUtf8(process_.readLine()).trimmed().toStdString();
        if (address_.empty())
            process_.waitForFinished(5000);
        denied_ = address_.empty() && process_.exitCode() == 77;
        if (address_.empty() && !denied_)
            ADD_FAILURE() << "dns_server.py: " << process_.readAllStandardError().toStdString();
    }
    // Port 53 is not ours to bind (no root): the check cannot be tried here.
    bool Denied() const { return denied_; }
    ~DnsServer()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished();
    }
    TDnsOptions Options() const { return {address_, 5000}; }

private:
    QProcess process_;
    std::string address_;
    bool denied_ = false;
};

using State = TRecordState;

}  // namespace

TEST(DomainCheckTest, RecordsFoundMissingAndAServerThatIsSilent)
{
    App();
    struct Case {
        const char* name;
        QStringList records;
        std::string domain;
        State spf, dmarc;
    };
    const std::vector<Case> cases = {
        {"both there, beside another TXT record",
         {"example.jp=google-site-verification=abc", "example.jp=v=spf1 include:_spf.example.net -all",
          "_dmarc.example.jp=v=DMARC1; p=none"},
         "example.jp", State::Found, State::Found},
        {"SPF missing: other TXT records only",
         {"example.jp=google-site-verification=abc", "example.jp=v=spf10", "_dmarc.example.jp=v=DMARC1;p=reject"},
         "example.jp", State::Missing, State::Found},
        {"SPF missing: the name has no TXT record at all",
         {"example.jp", "_dmarc.example.jp=v=DMARC1; p=none"}, "example.jp", State::Missing, State::Found},
        {"DMARC missing: no such name", {"example.jp=v=spf1 -all"}, "example.jp", State::Found, State::Missing},
        {"DMARC of the organisational domain covers a subdomain",
         {"news.example.co.jp=v=spf1 -all", "_dmarc.example.co.jp=v=DMARC1; p=quarantine"}, "news.example.co.jp",
         State::Found, State::Found},
        {"server silent", {"--silent"}, "example.jp", State::Unknown, State::Unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DnsServer server(c.records);
        if (server.Denied())
            GTEST_SKIP() << "binding port 53 needs root";
        const TDomainReport report = CheckDomain(c.domain, server.Options());
        EXPECT_EQ(report.Spf, c.spf);
        EXPECT_EQ(report.Dmarc, c.dmarc);
        // The text names exactly what is missing, and says when it could not look.
        const std::string text = DomainReportText(report);
        EXPECT_EQ(text.find("SPF レコード（") != std::string::npos, c.spf == State::Missing) << text;
        EXPECT_EQ(text.find("DMARC レコード（") != std::string::npos, c.dmarc == State::Missing) << text;
        EXPECT_EQ(text.find("550 5.7.515") != std::string::npos, report.Missing()) << text;
        EXPECT_EQ(text.find("5 秒以内に答えませんでした") != std::string::npos, c.spf == State::Unknown) << text;
    }
}

TEST(DomainCheckTest, AtMostOnceADayPerDomainAndNeverAfterAFailedLook)
{
    App();
    QTemporaryDir profile;
    const std::string dir = profile.path().toStdString();
    const QDate today(2026, 12, 7);
    {
        DnsServer server({"example.jp=v=spf1 -all"});
        if (server.Denied())
            GTEST_SKIP() << "binding port 53 needs root";
        const auto first = CheckSenderDomain(dir, "Taro@Example.JP", today, server.Options());
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->Domain, "example.jp");
        EXPECT_EQ(first->Dmarc, State::Missing);
        EXPECT_FALSE(CheckSenderDomain(dir, "hanako@example.jp", today, server.Options()).has_value());
        EXPECT_TRUE(CheckSenderDomain(dir, "hanako@example.jp", today.addDays(1), server.Options()).has_value());
        EXPECT_FALSE(CheckSenderDomain(dir, "a@[192.0.2.1]", today, server.Options()).has_value());
    }
    // No answer: the failure is not remembered, the next run looks again.
    DnsServer silent({"--silent"});
    const auto failed = CheckSenderDomain(dir, "a@example.org", today, {silent.Options().Nameserver, 1000});
    ASSERT_TRUE(failed.has_value());
    EXPECT_FALSE(failed->Complete());
    EXPECT_NE(DomainReportText(*failed).find("1 秒以内に答えませんでした"), std::string::npos);
    std::ifstream in(dir + "/" + DomainCheckFileName, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "example.jp 2026-12-08\r\n");
}
