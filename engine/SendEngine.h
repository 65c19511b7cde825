// One Send from the fields the user filled in to the summary: the settings
// read once, the texts checked and converted, the list read and checked,
// the run confirmed, protected and carried out, a certificate trusted on
// the way. The front end answers the questions; the engine opens no box.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/FrontEnd.h"
#include "engine/Preview.h"
#include "engine/Profile.h"
#include "engine/SendSecurity.h"
#include "engine/SettingsFile.h"

class TMessageText;
class TNMSMTP;
class TNMUUProcessor;
class TSendRun;

// What a Send takes from its user.
struct TSendRequest {
    std::string RecipientFile;
    std::string Subject;  // UTF-8 as typed
    std::string Body;     // UTF-8, lines apart at LF
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
    TRunOutline Outline(const TPreparedRun& Prepared) const;
    TRunRequest ListRequest(const TSendRequest& Request);
    void ConnectTrusting();
    // Processes the window's events; false once the user stopped the run.
    std::function<bool()> KeepAnswering() const;
    void Summarize(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure);
    void SendTrusting();

    TRunFrontEnd& frontEnd_;
    TProfile profile_;
    std::unique_ptr<TNMSMTP> smtp_;
    std::unique_ptr<TNMUUProcessor> encoder_;
    std::unique_ptr<TMessageText> text_;
    std::unique_ptr<TSendRun> run_;
    TSendSecurity security_;
    TSettings settings_;
    const TSendRequest* request_ = nullptr;  // the Send in hand
    std::shared_ptr<const TRecipientSource> source_;  // the run's recipients and templates
    bool confirmed_ = false;  // the Send in hand was confirmed already
};
