// One Send from the fields the user filled in to the summary: the settings
// read once, the texts checked and converted, the list read and checked,
// the run confirmed, protected and carried out, a certificate trusted on
// the way. The front end answers the questions; the engine opens no box.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/FrontEnd.h"
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
    // Stops a sign-in in the browser and the run (see TSendRun::Abort).
    void Abort();
    // The program ends: cuts whatever runs.
    void Close();

private:
    void PrepareMessage(const TSendRequest& Request);
    std::optional<TPreparedRun> PrepareRun(const TSendRequest& Request);
    TRunOutline Outline(const TPreparedRun& Prepared) const;
    std::string HeaderForm(const std::string& Entry);
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
    bool confirmed_ = false;  // the Send in hand was confirmed already
};
