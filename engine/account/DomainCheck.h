// The sender's domain as the large mailbox providers see it: an SPF record
// (a TXT record starting "v=spf1") and a DMARC record (TXT at "_dmarc.",
// starting "v=DMARC1"). Without them Gmail, Yahoo and Outlook.com send bulk
// mail to spam or refuse it, so a run warns before it connects; it never
// refuses. Looked up with QDnsLookup at most once a day per domain.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QDate>

enum class TRecordState {
    Found,
    Missing,  // the name has no such record, or does not exist
    Unknown,  // no usable answer: time-out, failure, no server
};

struct TDomainReport {
    std::string Domain;
    TRecordState Spf = TRecordState::Unknown;
    TRecordState Dmarc = TRecordState::Unknown;
    std::string Failure;  // why an Unknown lookup gave nothing, in Japanese

    // A record is missing for sure: the user chooses 続ける or 中止.
    bool Missing() const { return Spf == TRecordState::Missing || Dmarc == TRecordState::Missing; }
    // Both lookups answered: the check counts for the day.
    bool Complete() const { return Spf != TRecordState::Unknown && Dmarc != TRecordState::Unknown; }
};

struct TDnsOptions {
    // A dotted address (port 53); empty means the system's resolver.
    std::string Nameserver;
    int TimeoutMs = 5000;
};

extern const char* const DomainCheckFileName;  // "ドメイン確認.txt"
// The variable that names another nameserver (tests run their own).
extern const char* const DnsServerVariable;  // "VELTROW_DNS_SERVER"

// The options a run uses: the system's resolver, or the loopback address
// in VELTROW_DNS_SERVER; any other address there raises Exception, as the
// check must not be sent to a server nobody chose.
TDnsOptions DnsOptionsFromEnvironment();

// The domain of a mail address in lower case; empty for an address literal
// ("[192.0.2.1]") or text without one.
std::string DomainOf(const std::string& Address);

// A name kept for examples and tests (RFC 2606, RFC 6761 and JPRS's
// example.jp names): no mail is sent from it, so nothing is looked up.
bool ReservedForExamples(const std::string& Domain);

// Looks the records up, processing events until every answer is in or
// Options.TimeoutMs passed. Needs a QCoreApplication.
TDomainReport CheckDomain(const std::string& Domain, const TDnsOptions& Options = {});

// A lookup given up on at the time-out may still be running in Qt's
// resolver thread, and the program's ordinary end would wait for it.
bool DnsLookupsLeftRunning();

// The check before a run: nothing when FromAddress has no domain or its
// domain was checked completely on Today and had both records, as
// ProfileDir's memory file says; the day's remembered report when a record
// was missing, without a lookup; otherwise the report of a lookup,
// remembered with its verdict when complete. Looking is told before a
// lookup starts.
std::optional<TDomainReport> CheckSenderDomain(const std::string& ProfileDir, const std::string& FromAddress,
                                               const QDate& Today, const TDnsOptions& Options = {},
                                               const std::function<void()>& Looking = {});

// What the report means for the user, in Japanese: what is missing and what
// the providers then do, or that the check failed and the run goes on;
// empty when both records are there.
std::string DomainReportText(const TDomainReport& Report);
