// The sender's domain check against a DNS server of the test's own
// (dns_server.py) on a loopback address, passed to QDnsLookup.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <optional>

#include "engine/account/DomainCheck.h"
#include "tests/engine/DnsServer.h"

namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "compliance_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

using testsupport::DnsServer;
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
        // The same day the verdict stands without a lookup: DMARC still missing.
        int looked = 0;
        const auto again = CheckSenderDomain(dir, "hanako@example.jp", today, server.Options(), [&] { ++looked; });
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->Dmarc, State::Missing);
        EXPECT_EQ(looked, 0);
        EXPECT_TRUE(CheckSenderDomain(dir, "hanako@example.jp", today.addDays(1), server.Options(), [&] { ++looked; })
                        .has_value());
        EXPECT_EQ(looked, 1);
        EXPECT_FALSE(CheckSenderDomain(dir, "a@[192.0.2.1]", today, server.Options()).has_value());
    }
    // No answer: the failure is not remembered, the next run looks again.
    DnsServer silent({"--silent"});
    const auto failed = CheckSenderDomain(dir, "a@example.org", today, {silent.Options().Nameserver, 1000});
    ASSERT_TRUE(failed.has_value());
    EXPECT_FALSE(failed->Complete());
    EXPECT_NE(DomainReportText(*failed).find("1 秒以内に答えませんでした"), std::string::npos);
    std::ifstream in(dir + "/" + DomainCheckFileName, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "example.jp 2026-12-08 spf=found dmarc=missing\r\n");
}

// The day's line holds the verdict: a missing record is remembered as such
// (a strict run refuses all day), both found means no question; a line
// without a verdict, or of another day, counts as not checked.
TEST(DomainCheckTest, TheDaysVerdictIsRememberedAndAnOldLineCountsAsNotChecked)
{
    App();
    DnsServer server({"example.jp"});  // the name exists, no TXT record: both missing
    if (server.Denied())
        GTEST_SKIP() << "binding port 53 needs root";
    const QDate today(2026, 12, 7);
    struct Case {
        const char* line;
        bool looks;
        std::optional<State> spf;  // nothing: no report at all
    };
    const Case cases[] = {
        {"example.jp 2026-12-07", true, State::Missing},
        {"example.jp 2026-12-07 spf=found dmarc=missing", false, State::Found},
        {"example.jp 2026-12-07 spf=missing dmarc=found", false, State::Missing},
        {"example.jp 2026-12-07 spf=found dmarc=found", false, std::nullopt},
        {"example.jp 2026-12-06 spf=found dmarc=found", true, State::Missing},
        {"example.jp 2026-12-07 spf=found dmarc=maybe", true, State::Missing},
        {"example.org 2026-12-07 spf=found dmarc=found", true, State::Missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        QTemporaryDir profile;
        const std::string dir = profile.path().toStdString();
        std::ofstream(dir + "/" + DomainCheckFileName, std::ios::binary) << "other.jp 2026-12-07 spf=found dmarc=found\r\n"
                                                                         << c.line << "\r\n";
        int looked = 0;
        const auto report = CheckSenderDomain(dir, "taro@example.jp", today, server.Options(), [&] { ++looked; });
        EXPECT_EQ(looked, c.looks ? 1 : 0);
        ASSERT_EQ(report.has_value(), c.spf.has_value());
        if (report) {
            EXPECT_EQ(report->Spf, *c.spf);
        }
        std::ifstream in(dir + "/" + DomainCheckFileName, std::ios::binary);
        const std::string kept(std::istreambuf_iterator<char>(in), {});
        EXPECT_NE(kept.find("other.jp 2026-12-07 spf=found dmarc=found\r\n"), std::string::npos) << kept;
        if (c.looks) {
            EXPECT_NE(kept.find("example.jp 2026-12-07 spf=missing dmarc=missing\r\n"), std::string::npos) << kept;
        }
    }
}
