#include "engine/account/DomainCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include <QDnsLookup>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

#include "engine/account/Profile.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

const char* const DomainCheckFileName = "ドメイン確認.txt";
const char* const DnsServerVariable = "VELTROW_DNS_SERVER";

namespace {

// A name that exists nowhere (RFC 6761): every working resolver answers it
// with "no such name" at once.
constexpr char kProbeName[] = "veltrow-check.invalid";

enum class Kind { Spf, Dmarc, Probe };

std::atomic<bool> lookupsLeft{false};

struct Query {
    Kind kind;
    std::unique_ptr<QDnsLookup> lookup;
    bool done = false;
};

// TXT strings of one record are one text (RFC 7208 3.3).
std::vector<std::string> Texts(const QDnsLookup& lookup)
{
    std::vector<std::string> texts;
    for (const QDnsTextRecord& record : lookup.textRecords()) {
        std::string text;
        for (const QByteArray& part : record.values())
            text += part.toStdString();
        texts.push_back(text);
    }
    return texts;
}

bool StartsWithTag(const std::string& text, const std::string& tag)
{
    return LowerCase(text.substr(0, tag.size())) == tag
           && (text.size() == tag.size() || text[tag.size()] == ' ' || text[tag.size()] == ';');
}

// The _dmarc names to ask: the domain's own and its parents' down to two
// labels, as a record at the organisational domain covers its subdomains
// (a public suffix such as co.jp has none, so asking it does no harm).
std::vector<std::string> DmarcNames(std::string domain)
{
    std::vector<std::string> names;
    for (size_t dot = domain.find('.'); dot != std::string::npos; dot = domain.find('.')) {
        names.push_back("_dmarc." + domain);
        domain.erase(0, dot + 1);
    }
    return names;
}

// Qt's resolver gives a name without the record asked for (NOERROR, no
// answer) the same error as a server it could not reach; a probe that was
// answered tells them apart.
bool Answered(const QDnsLookup& lookup)
{
    return lookup.error() != QDnsLookup::InvalidReplyError && lookup.error() != QDnsLookup::OperationCancelledError
           && lookup.error() != QDnsLookup::ResolverError;
}

TRecordState StateOf(const Query& q, bool serverAnswers, std::string& failure, int timeoutMs)
{
    const QDnsLookup& lookup = *q.lookup;
    if (!q.done) {
        failure = Format("DNS サーバーが %d 秒以内に答えませんでした", (timeoutMs + 999) / 1000);
        return TRecordState::Unknown;
    }
    switch (lookup.error()) {
    case QDnsLookup::NoError: {
        const std::string tag = q.kind == Kind::Spf ? "v=spf1" : "v=dmarc1";
        for (const std::string& text : Texts(lookup))
            if (StartsWithTag(text, tag))
                return TRecordState::Found;
        return TRecordState::Missing;
    }
    case QDnsLookup::NotFoundError:
        return TRecordState::Missing;
    case QDnsLookup::InvalidReplyError:
        if (serverAnswers)
            return TRecordState::Missing;
        break;
    default:
        break;
    }
    failure = "DNS の問い合わせに失敗しました（" + lookup.errorString().toStdString() + "）";
    return TRecordState::Unknown;
}

std::string MemoryPath(const std::string& profileDir) { return TProfile{profileDir}.File(DomainCheckFileName); }

const char* StateWord(TRecordState State) { return State == TRecordState::Found ? "found" : "missing"; }

// "example.jp 2026-12-07 spf=found dmarc=missing" per domain checked: the
// day and the verdict, so that a strict run refuses all day, not only at
// the day's first run. A line without a verdict (an older version wrote
// them) counts as not checked.
std::string MemoryLine(const TDomainReport& Report, const QDate& Day)
{
    return Report.Domain + " " + Day.toString(Qt::ISODate).toStdString() + " spf=" + StateWord(Report.Spf) +
           " dmarc=" + StateWord(Report.Dmarc);
}

std::optional<TDomainReport> Remembered(const std::string& profileDir, const std::string& domain, const QDate& day)
{
    struct stat st {};
    if (::stat(MemoryPath(profileDir).c_str(), &st) != 0)
        return std::nullopt;
    TStringList lines;
    lines.LoadFromFile(MemoryPath(profileDir));
    for (const TRecordState spf : {TRecordState::Found, TRecordState::Missing})
        for (const TRecordState dmarc : {TRecordState::Found, TRecordState::Missing}) {
            TDomainReport report;
            report.Domain = domain;
            report.Spf = spf;
            report.Dmarc = dmarc;
            const std::string wanted = MemoryLine(report, day);
            for (const std::string& line : lines.Lines())
                if (line == wanted)
                    return report;
        }
    return std::nullopt;
}

void Remember(const std::string& profileDir, const TDomainReport& Report, const QDate& day)
{
    TStringList lines;
    struct stat st {};
    if (::stat(MemoryPath(profileDir).c_str(), &st) == 0)
        lines.LoadFromFile(MemoryPath(profileDir));
    TStringList kept;
    for (const std::string& line : lines.Lines())
        if (line.rfind(Report.Domain + " ", 0) != 0)
            kept.Add(line);
    kept.Add(MemoryLine(Report, day));
    kept.SaveToFile(MemoryPath(profileDir));
}

}  // namespace

TDnsOptions DnsOptionsFromEnvironment()
{
    TDnsOptions options;
    const char* value = std::getenv(DnsServerVariable);
    if (!value || !*value)
        return options;
    const QHostAddress address(QString::fromUtf8(value));
    if (address.isNull() || !address.isLoopback())
        throw Exception(Format("環境変数 %s の「%s」は使えません。ループバック アドレス（127.0.0.1 など）を書いてください。",
                               DnsServerVariable, value));
    options.Nameserver = value;
    return options;
}

std::string DomainOf(const std::string& Address)
{
    const size_t at = Address.rfind('@');
    if (at == std::string::npos)
        return {};
    std::string domain = LowerCase(Trim(Address.substr(at + 1)));
    if (!domain.empty() && domain.back() == '.')
        domain.pop_back();
    if (domain.empty() || domain.front() == '[' || domain.find('.') == std::string::npos)
        return {};
    return domain;
}

bool ReservedForExamples(const std::string& Domain)
{
    const std::string d = "." + Domain;
    for (const char* tld : {".example", ".test", ".invalid", ".localhost"})
        if (d.ends_with(tld))
            return true;
    for (const char* name : {".example.com", ".example.net", ".example.org", ".example.jp"})
        if (d.ends_with(name))
            return true;
    // example.co.jp, example.ne.jp and the other second-level names.
    return d.ends_with(".jp") && d.find(".example.") != std::string::npos &&
           std::count(d.begin() + static_cast<std::ptrdiff_t>(d.find(".example.")) + 9, d.end(), '.') == 1;
}

TDomainReport CheckDomain(const std::string& Domain, const TDnsOptions& Options)
{
    TDomainReport report;
    report.Domain = Domain;
    std::vector<Query> queries;
    auto add = [&](Kind kind, const std::string& name) {
        auto lookup = std::make_unique<QDnsLookup>(QDnsLookup::TXT, QString::fromStdString(name));
        if (!Options.Nameserver.empty())
            lookup->setNameserver(QHostAddress(QString::fromStdString(Options.Nameserver)));
        queries.push_back({kind, std::move(lookup)});
    };
    add(Kind::Spf, Domain);
    for (const std::string& name : DmarcNames(Domain))
        add(Kind::Dmarc, name);
    add(Kind::Probe, kProbeName);

    QEventLoop loop;
    size_t pending = queries.size();
    for (Query& q : queries) {
        QObject::connect(q.lookup.get(), &QDnsLookup::finished, &loop, [&q, &pending, &loop] {
            q.done = true;
            if (--pending == 0)
                loop.quit();
        });
    }
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(Options.TimeoutMs);
    for (Query& q : queries)
        q.lookup->lookup();
    if (pending > 0)
        loop.exec();
    // What is still out is given up on; its answer, should it come, goes
    // nowhere.
    for (Query& q : queries) {
        QObject::disconnect(q.lookup.get(), nullptr, &loop, nullptr);
        if (!q.done) {
            q.lookup->abort();
            lookupsLeft.store(true);
        }
    }

    bool serverAnswers = false;
    for (const Query& q : queries)
        serverAnswers = serverAnswers || (q.done && Answered(*q.lookup));
    std::string failure;
    report.Spf = StateOf(queries.front(), serverAnswers, failure, Options.TimeoutMs);
    // DMARC: found at any level; missing only when every level says so.
    report.Dmarc = TRecordState::Missing;
    for (const Query& q : queries) {
        if (q.kind != Kind::Dmarc)
            continue;
        const TRecordState state = StateOf(q, serverAnswers, failure, Options.TimeoutMs);
        if (state == TRecordState::Found || (state == TRecordState::Unknown && report.Dmarc == TRecordState::Missing))
            report.Dmarc = state;
    }
    report.Failure = failure;
    return report;
}

bool DnsLookupsLeftRunning() { return lookupsLeft.load(); }

std::optional<TDomainReport> CheckSenderDomain(const std::string& ProfileDir, const std::string& FromAddress,
                                               const QDate& Today, const TDnsOptions& Options,
                                               const std::function<void()>& Looking)
{
    const std::string domain = DomainOf(FromAddress);
    if (domain.empty())
        return std::nullopt;
    if (std::optional<TDomainReport> known = Remembered(ProfileDir, domain, Today))
        return known->Missing() ? known : std::nullopt;
    if (Looking)
        Looking();
    TDomainReport report = CheckDomain(domain, Options);
    // A failed check is tried again at the next run rather than forgotten
    // for the day.
    if (report.Complete())
        Remember(ProfileDir, report, Today);
    return report;
}

std::string DomainReportText(const TDomainReport& Report)
{
    std::string text;
    const std::string& d = Report.Domain;
    if (Report.Spf == TRecordState::Missing)
        text += "・SPF レコード（" + d + " の TXT レコードで v=spf1 で始まるもの）がありません。\n";
    if (Report.Dmarc == TRecordState::Missing)
        text += "・DMARC レコード（_dmarc." + d + " の TXT レコードで v=DMARC1 で始まるもの）がありません。\n";
    if (!text.empty())
        text = "送信者のドメイン " + d + " を確かめました。\n" + text +
               "Gmail と Yahoo!（2024 年 2 月から）、Outlook.com（2025 年 5 月から）は、大量にメールを送る送信者に "
               "SPF・DKIM・DMARC を求めています。ないと、メールは迷惑メールに振り分けられるか、受け取りを拒否されます"
               "（Outlook.com は「550 5.7.515」で拒否します）。ドメインの DNS を管理している会社"
               "（プロバイダーやサーバーの管理者）に設定を頼んでください。\n";
    const char* unknown = Report.Spf == TRecordState::Unknown && Report.Dmarc == TRecordState::Unknown ? "SPF と DMARC"
                          : Report.Spf == TRecordState::Unknown                                       ? "SPF"
                          : Report.Dmarc == TRecordState::Unknown                                     ? "DMARC"
                                                                                                       : nullptr;
    if (unknown)
        text += "送信者のドメイン " + d + " の " + unknown + " を確かめられませんでした（" + Report.Failure +
                "）。確かめずに続けます。\n";
    if (!text.empty())
        text.pop_back();
    return text;
}
