// Fixture for driving the real windows under QT_QPA_PLATFORM=offscreen: a
// scratch working folder per test (the settings file lives there), the three
// windows created as at start-up, and every modal box recorded and answered
// at once (or by a test's own action).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QMetaObject>
#include <QTimer>

#include "app/Application.h"
#include "tests/support/SmtpSink.h"

class QAbstractButton;
class QWidget;

namespace apptest {

// Processes window events until Done() holds or TimeoutMs passed.
bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 10000);
// A real mouse click on the button (press and release inside it).
void Click(QAbstractButton* Button);
// Types Text into the field as a user would: ASCII through key presses,
// Japanese through the input method's committed text, "\n" as Return.
void TypeText(QWidget* Field, const QString& Text);
// Milliseconds of a monotonic clock.
int64_t NowMs();

std::string ReadFile(const std::string& Path);
// What a mail reader shows of each message (see read_mail.py), one object a
// message in their order.
std::vector<QJsonObject> ReadMails(const std::vector<testsupport::SinkMessage>& Messages);
// The attached parts of each message as a mail reader decodes them (see
// tests/engine/read_attachments.py): per message a list of {filename,
// type, sha256}.
QJsonArray ReadAttachments(const std::vector<testsupport::SinkMessage>& Messages);
// The SHA-256 of the file's bytes, as hex.
QString FileSha256(const std::string& Path);
void WriteFile(const std::string& Path, const std::string& Bytes);
bool IsDirectory(const std::string& Path);

// Status-bar texts and progress texts of the main window as they changed.
struct Watch {
    Watch();
    ~Watch();
    std::vector<std::string> status;
    std::vector<std::string> progress;

private:
    QMetaObject::Connection statusChanged_, progressChanged_;
};

// Runs Action once, from inside whatever wait is running (a timer tick every
// millisecond), as soon as Ready holds: the user acting during a run.
class When {
public:
    When(std::function<bool()> Ready, std::function<void()> Action);
    bool Done() const { return done_; }

private:
    std::function<bool()> ready_;
    std::function<void()> action_;
    QTimer timer_;
    bool done_ = false;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes "設定.txt" with the five lines, each followed by CR LF.
    void WriteSettings(const std::string& Host, const std::string& Port, const std::string& UserID,
                       const std::string& FromName, const std::string& FromAddress);
    // A recipient file in the scratch folder; returns its full path.
    std::string WriteRecipients(const std::string& Bytes, const std::string& Name = "rcpt.txt");
    std::string Scratch() const { return scratch_; }
    // The watchdog counts from here: a test of several runs gives each its own time.
    void RestartWatchdog() { started_ = NowMs(); }

    // Texts of the boxes shown so far, in order.
    std::vector<std::string> BoxTexts() const;
    std::vector<TMessageBoxRequest> Boxes;
    // The summary boxes at the end of runs, kept apart from the others.
    std::vector<TMessageBoxRequest> Summaries;
    // The confirmation boxes before runs, kept apart too, and how they are
    // answered: 送信する pressed, or キャンセル (the last button) when false.
    std::vector<TMessageBoxRequest> Confirmations;
    bool ConfirmSend = true;
    // The button the next boxes with buttons of their own get (the resume
    // question); their default when unset.
    std::optional<int> Choice;
    // Runs while a box is "open" (before it is answered), e.g. to press a
    // button of the window as the user would with a box on the screen.
    std::function<void(const TMessageBoxRequest&)> WhileBoxOpen;
    // How questions (Application().Ask) are answered; they are recorded in
    // Boxes too.
    bool QuestionAnswer = false;

private:
    std::string scratch_;
    std::string oldDir_;
    // Cuts a wait that a broken script would leave hanging (TimeOut is 0).
    QTimer watchdog_;
    int64_t started_ = 0;
    bool barked_ = false;
};

}  // namespace apptest
