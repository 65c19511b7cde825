// The main window: subject, body and recipient file, the bulk send run and
// its Abort, the simple editing commands, and the reactions to the SMTP
// component's events.
//
// The run is one SMTP connection for the whole recipient file and one mail
// transaction per entry (app/SendRun.h). Everything runs on the
// user-interface thread: the component's waits keep processing window events,
// so Abort, a second Send and the editing commands run inside a running send.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "app/SendSecurity.h"
#include "app/RunStart.h"
#include "app/RunWords.h"
#include "charset/MailCharset.h"
#include "rtl/Classes.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class TNMSMTP;
class TNMUUProcessor;
class TMessageText;
class TRepaintLimit;
class TSendRun;
class TStringList;

// The system's file-open dialog with its default settings.
class TOpenDialog {
public:
    explicit TOpenDialog(QWidget* Parent) : parent_(Parent) {}

    // Runs the dialog modally; true when the user confirmed a file, whose full
    // path is then in FileName.
    bool Execute();

    std::string FileName;

private:
    QWidget* parent_;
};

// Text files are UTF-8; one that is not (from a Shift_JIS system) is read as
// CP932. Raises "ファイル %s は開けません" when the file cannot be read.
void LoadTextFile(const std::string& FileName, TStringList& Lines);

class TForm1 : public QWidget {
public:
    explicit TForm1(QWidget* Parent = nullptr);
    ~TForm1() override;

    // --- Commands -----------------------------------------------------------
    void Button1Click();   // Browse: choose the recipient file
    void Button2Click();   // Paste into the body
    void Button3Click();   // About
    void Button4Click();   // Send
    void Button5Click();   // Abort
    void Button6Click();   // Copy from the body
    void Button7Click();   // Cut from the body
    void Button8Click();   // Clear the body
    void Button10Click();  // Settings

    // --- SMTP events ----------------------------------------------------------
    void NMSMTP1Connect(TObject* Sender);
    void NMSMTP1ConnectFailed(TObject* Sender);
    void NMSMTP1ConnectionRequired(bool& Handled);
    void NMSMTP1Disconnect(TObject* Sender);
    void NMSMTP1Failure(TObject* Sender);
    void NMSMTP1InvalidHost(bool& Handled);
    void NMSMTP1Success(TObject* Sender);

    // Reads the settings file into NMSMTP1: Host, Port, UserID and the sender,
    // and the charset choice. A sender name that is not ASCII is stored as its
    // encoded words (UTF-8 ones when auto finds it outside JIS X 0208).
    void LoadSettings();
    // The Subject header value of a subject as typed (UTF-8).
    std::string EncodeSubject(const std::string& Subject);

    // True from the start of a Send's connection until the run has ended.
    bool Sending() const;

    // --- Controls -------------------------------------------------------------
    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton* Button1;
    QLabel* Label2;
    QLineEdit* Edit2;
    QPushButton* Button3;
    QPushButton* Button4;
    QPushButton* Button5;
    QPushButton* Button10;
    QLineEdit* Edit3;
    QPushButton* Button7;
    QPushButton* Button6;
    QPushButton* Button2;
    QPushButton* Button8;
    QLabel* Label4;
    QPlainTextEdit* Memo1;
    QStatusBar* StatusBar1;

    // --- Components -------------------------------------------------------------
    TNMSMTP* NMSMTP1;
    TNMUUProcessor* NMUUProcessor1;
    TOpenDialog* OpenDialog1;

    // The run (tests shorten its waits).
    TSendRun& Run() { return *run_; }

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    // The controls with their captions, handlers and tab order.
    void CreateControls();
    // The SMTP component with its settings and events, and the send run.
    void CreateComponents();
    void Arrange();
    // Subject, body and sender checked and converted before any connection,
    // in each charset the messages may need.
    void PrepareMessage();
    // The entry as the To line carries it (a display name that is not ASCII
    // becomes encoded words; the address part is left exactly as written),
    // with the message's texts put in the charset that entry needs.
    std::string RecipientHeaderForm(const std::string& Entry);
    // The recipient file read and checked, and the run planned, before the
    // connection opens; nothing when the user cancels at the resume question.
    // Says once when some messages go as UTF-8.
    std::optional<TPreparedRun> PrepareRun();
    // The confirmation box's figures.
    TRunOutline Outline(const TPreparedRun& Prepared) const;
    // The box at the end of a run: the failure that ended it, the counts,
    // the UTF-8 note, the journal and its folder.
    void ShowSummary(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure);
    // The closing texts: 接続を終了しました and 送信終了.
    void ShowEnded();
    void RunEnded();
    // The status bar says what the run waits for, counting down each second.
    void ShowWait(TWait What, int64_t Ms);
    void WaitTick();

    std::unique_ptr<TNMSMTP> smtp_;
    std::unique_ptr<TNMUUProcessor> uuProcessor_;
    std::unique_ptr<TOpenDialog> openDialog_;
    std::unique_ptr<TSendRun> run_;
    TSendSecurity security_;
    int pauseSeconds_ = 0;  // settings line 9
    QLabel* countsLabel_;   // the status bar's running counts of a run
    std::unique_ptr<TMessageText> text_;
    TMailCharset charset_ = mcAuto;  // settings line 8, read at every Send
    std::string fromName_;           // settings line 4 as typed
    // The progress field repaints at most this often during a run.
    static constexpr int ProgressPaintMs = 100;
    TRepaintLimit* progressPaint_ = nullptr;  // owned by Edit3
    bool confirmed_ = false;     // the Send in hand was confirmed already
    bool runConnected_ = false;  // the run in hand has been connected
    QTimer* waitTimer_ = nullptr;
    TWait waitWhat_ = TWait::Pacing;
    int64_t waitEnd_ = 0;  // TickCount at the wait's end
    QString waitShown_;
};

extern TForm1* Form1;

// The windows of start-up, in their order: Form1 (the main window), Form2
// (About), Form3 (Settings). None is shown. FreeForms deletes whatever
// exists, the last created first.
void CreateForms();
void FreeForms();
