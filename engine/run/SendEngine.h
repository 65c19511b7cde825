// One Send from the fields the user filled in to the summary: the settings
// read once, the texts checked and converted, the list read and checked,
// the run confirmed, protected and carried out, a certificate trusted on
// the way. The front end answers the questions; the engine opens no box.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/compose/Attachments.h"
#include "engine/account/DomainCheck.h"
#include "engine/run/FrontEnd.h"
#include "engine/list/MergeFields.h"
#include "engine/compose/Unsubscribe.h"
#include "engine/compose/Preview.h"
#include "engine/account/Profile.h"
#include "engine/compose/RowCheck.h"
#include "engine/account/SendSecurity.h"
#include "engine/account/SettingsFile.h"

class TCompliance;
struct TCharsetRule;
class TMessageText;
class TRunAttachments;
class TNMSMTP;
class TNMUUProcessor;
class TRecipientSource;
class TSendRun;

// What a Send takes from its user.
struct TSendRequest {
    TSendRequest() = default;
    // Most Sends carry no file: those fields may be left out.
    TSendRequest(std::string File, std::string SubjectText, std::string BodyText,
                 std::vector<std::string> Files = {}, std::map<int, std::vector<std::string>> RowFiles = {})
        : RecipientFile(std::move(File)), Subject(std::move(SubjectText)), Body(std::move(BodyText)),
          Attachments(std::move(Files)), RowAttachments(std::move(RowFiles))
    {
    }

    std::string RecipientFile;
    std::string Subject;  // UTF-8 as typed
    std::string Body;     // UTF-8, lines apart at LF
    // Files every message carries.
    std::vector<std::string> Attachments;
    // Files of single rows by their line in the list (its 添付ファイル
    // column, merge fields already filled in); a relative path counts from
    // the list file's folder.
    std::map<int, std::vector<std::string>> RowAttachments;
    // Continue an unfinished run of this list and message, or send nothing.
    bool OnlyUnfinished = false;
};

// What a dry run found: the counts the confirmation showed, and the message
// of one row as it would go out.
struct TDryRun {
    TRunOutline Outline;  // Messages and Utf8 as the messages were composed
    int Line = 0;         // the row of the message below
    std::vector<std::string> Header;  // its header block, line by line
    // What follows the header block up to the first attached file's encoded
    // text, lines ended by CR LF and dot-stuffed as DATA carries them.
    std::string Body;
    TParts Files;  // the files it carries, with their sizes as sent
};

class TSendEngine {
public:
    TSendEngine(TRunFrontEnd& FrontEnd, TProfile Profile);
    ~TSendEngine();
    TSendEngine(const TSendEngine&) = delete;
    TSendEngine& operator=(const TSendEngine&) = delete;

    TNMSMTP& Smtp() { return *smtp_; }
    TNMUUProcessor& Encoder() { return *encoder_; }
    TSendRun& Run() { return *run_; }
    const TSendRun& Run() const { return *run_; }
    const TProfile& Profile() const { return profile_; }
    // As the last Send (or LoadSettings) read them.
    const TSettings& Settings() const { return settings_; }
    // Where the sender's domain is looked up before each run (at most once
    // a day per domain): the system's resolver or VELTROW_DNS_SERVER.
    TDnsOptions DomainCheck;

    // Reads the settings file once into Settings and the component: Host,
    // Port, UserID and the sender; refuses an empty server or a port no
    // connection can use before anything connects.
    void LoadSettings();
    // The whole Send. Settings and texts are taken even when a run is going
    // on, which refuses the Send itself: its subject and body reach the
    // messages that follow. Raises what ended it.
    void Send(const TSendRequest& Request);
    // The list read and checked as a Send would, every row's message ready
    // to be composed; nothing connects, nothing is asked. Refused while a
    // run goes on, whose message record it would change.
    std::unique_ptr<TListPreview> Preview(const TSendRequest& Request);
    // Everything a Send reads, checks and asks before it connects (the
    // password aside: nothing logs in), then every message composed as the
    // run composes it; nothing connects. Line: the row whose message is
    // returned (0: the first that would be sent). Nothing when a question was
    // answered no; raises what a Send would refuse, and for a Line the run
    // would not send.
    std::optional<TDryRun> DryRun(const TSendRequest& Request, int Line);
    // The message of the list's row Line (0: its first row that can be
    // sent), its subject prefixed 「[テスト] 」,
    // to Address (empty: the sender's own), over a connection of its own
    // with the settings' security and login. No journal, no counts. Returns
    // where it went and the server's reply; empty when the user cancelled
    // (password, certificate). Raises what failed.
    std::string TestSend(const TSendRequest& Request, int Line, const std::string& Address);

    // Stops a sign-in in the browser and the run (see TSendRun::Abort).
    void Abort();
    // The program ends: cuts whatever runs.
    void Close();

private:
    void PrepareMessage(const TSendRequest& Request);
    std::optional<TPreparedRun> PrepareRun(const TSendRequest& Request);
    // What PrepareRun settles before the password. Dry: no server will name
    // its limit, so the question about large messages is always asked.
    // Counted gets the outline the user confirmed.
    std::optional<TPreparedRun> CheckRun(const TSendRequest& Request, bool Dry, TRunOutline* Counted = nullptr);
    TRunRequest RunRequestOf(const TSendRequest& Request, bool Dry);
    TRunOutline Outline(const TPreparedRun& Prepared) const;
    // Opt-out list, footer and its required items: refuses before the list is read.
    void PrepareCompliance();
    // The row's merge for the footer and the unsubscribe URL.
    TRowMerge MergeOf(const TPlanEntry& Entry) const;
    std::string FooterOf(const TPlanEntry& Entry) const;
    // The list's fields in line 14 and the footer: refuses names it lacks.
    void PrepareFields() const;
    // The composer's charset rule with the footer's own text weighed in.
    TCharsetRule CharsetRule() const;
    // Every footer of the run in a charset that carries it (ISO-2022-JP chosen).
    void CheckFooters(const TRunPlan& Plan) const;
    // The check of every row (RowCheck.h) over the plan's entries still to
    // be sent, each row's message composed as the run composes it: asks
    // about files outside the list's folder and rows whose files cannot be
    // attached, and holds back the rows the run does not send. False when
    // the user said no or stopped the run.
    bool HoldRows(TRunPlan& Plan, const std::string& ListFolder);
    // The confirmation with those rows and the repeated addresses named;
    // with one message per address chosen, the later rows are held back as
    // 重複. False when cancelled.
    bool ConfirmRows(TRunPlan& Plan, TRunOutline& Outline);
    // The check of every row over the preview's list, all rows pending; its
    // held rows are marked in List's entries.
    std::optional<std::vector<TRowVerdict>> PreviewRows(TCheckedList& List, const TRunAttachments* Files,
                                                        const TCompliance* Compliance);
    // CheckRows over Entries with the engine's composer; Answering: the
    // window's events are processed meanwhile (inside a run only).
    std::optional<std::vector<TRowVerdict>> Verdicts(const std::vector<TPlanEntry>& Entries,
                                                     const std::function<bool(size_t)>& Pending,
                                                     const TRunAttachments* Files, const TCompliance* Compliance,
                                                     const TRecipientSource* Source, bool Answering);
    // SPF and DMARC of the sender's domain; false when the user chose 中止.
    bool DomainAccepted();
    TRunRequest ListRequest(const TSendRequest& Request);
    void ConnectTrusting();
    // Processes the window's events; false once the user stopped the run.
    std::function<bool()> KeepAnswering() const;
    void Summarize(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure);
    void SendTrusting();
    // The size of the run's largest message, as near as can be told before
    // connecting.
    int64_t LargestMessage(const TPreparedRun& Prepared);
    // Asks once per Send about a largest message above LargeMessageBytes;
    // true to go on.
    bool LargeMessagesAccepted();

    TRunFrontEnd& frontEnd_;
    TProfile profile_;
    std::unique_ptr<TNMSMTP> smtp_;
    std::unique_ptr<TNMUUProcessor> encoder_;
    std::unique_ptr<TMessageText> text_;
    std::unique_ptr<TSendRun> run_;
    // The run's compliance (made at its start) and the fields its rows offer.
    std::unique_ptr<TCompliance> compliance_;
    TMergeFields fields_ = TMergeFields::ForTextList();
    std::unique_ptr<TRunAttachments> attachments_;  // the run's files
    int64_t largest_ = 0;        // LargestMessage of the run in hand
    int carriedUtf8_ = 0;        // UTF-8 messages of the run the one in hand continues
    bool largeAsked_ = false;    // the question about it was answered
    TSendSecurity security_;
    TSettings settings_;
    const TSendRequest* request_ = nullptr;  // the Send in hand
    std::shared_ptr<const TRecipientSource> source_;  // the run's recipients and templates
    bool confirmed_ = false;  // the Send in hand was confirmed already
    std::vector<TRowVerdict> verdicts_;  // the check of every row in the Send in hand
    bool oncePerAddress_ = false;        // its confirmation's choice
};
