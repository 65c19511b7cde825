// The main window: subject, body and recipient file, the bulk send run and
// its Abort, the simple editing commands, and the reactions to the SMTP
// component's events.
//
// The run is one SMTP connection for the whole recipient file and one mail
// transaction per entry (engine/run/SendEngine.h); the window is its front end. Everything runs on the
// user-interface thread: the component's waits keep processing window events,
// so Abort, a second Send and the editing commands run inside a running send.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "engine/run/FrontEnd.h"
#include "rtl/Classes.h"

class QLabel;
class TAttachmentArea;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class TNMSMTP;
class TNMUUProcessor;
class TRepaintLimit;
class TSendEngine;
class TSendRun;
class TStringList;
struct TSendRequest;

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

class TForm1 : public QWidget, public TRunFrontEnd {
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
    void Button11Click();  // Preview: the composed message of any row, and a test send

    // --- SMTP events ----------------------------------------------------------
    void NMSMTP1Connect(TObject* Sender);
    void NMSMTP1ConnectFailed(TObject* Sender);
    void NMSMTP1ConnectionRequired(bool& Handled);
    void NMSMTP1Disconnect(TObject* Sender);
    void NMSMTP1Failure(TObject* Sender);
    void NMSMTP1InvalidHost(bool& Handled);
    void NMSMTP1Success(TObject* Sender);

    // Reads the settings file into NMSMTP1: Host, Port, UserID and the
    // sender's address, and the rest for the Send.
    void LoadSettings();
    // The Subject header value of a subject as typed (UTF-8).
    std::string EncodeSubject(const std::string& Subject);

    // The Send as the fields and the attachment list stand: the run, its
    // preview and its test send all take this one.
    TSendRequest Request() const;

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
    QPushButton* Button11;
    QLineEdit* Edit3;
    QPushButton* Button7;
    QPushButton* Button6;
    QPushButton* Button2;
    QPushButton* Button8;
    QLabel* Label4;
    QPlainTextEdit* Memo1;
    QStatusBar* StatusBar1;
    // 添付ファイル, below the body: the files of every message.
    TAttachmentArea* Attachments;

    // --- Components -------------------------------------------------------------
    TNMSMTP* NMSMTP1;
    TNMUUProcessor* NMUUProcessor1;
    TOpenDialog* OpenDialog1;

    // The run (tests shorten its waits).
    TSendRun& Run();
    TSendEngine& Engine() { return *engine_; }

    // --- The engine's questions and news: the boxes and the status bar ------
    TResumeChoice AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point) override;
    bool ConfirmRun(const TRunOutline& Outline) override;
    bool ConfirmEmptyFields(const std::string& Question) override;
    TDuplicatesChoice ConfirmRunWithDuplicates(const TRunOutline& Outline) override;
    bool SendWithoutMissingFiles(const std::string& Question) override;
    bool AllowFilesOutsideList(const std::string& Question) override;
    std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server) override;
    bool TrustCertificate(const tls::ECertificateError& E, const std::string& Server,
                          const std::string& Question) override;
    bool ContinueDespiteDomain(const std::string& Text) override;
    bool ConfirmLargeMessages(const std::string& Question) override;
    void Inform(const std::string& Text) override;
    void Status(const std::string& Text) override;
    void Notice(const std::string& Text) override;
    void Starting() override;
    void Counts(const TRunPlan& Plan) override;
    void Progress(int Sent, int Total) override;
    void Waiting(TWait What, int64_t Ms) override;
    // The box at the end of a run: the failure that ended it, the counts,
    // the UTF-8 note, the journal and its folder.
    void Summary(const TRunSummary& Summary) override;
    void Failure(const std::exception& E) override;
    void Ended() override;

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    // The controls with their captions, handlers and tab order.
    void CreateControls();
    // The SMTP component with its settings and events, and the send run.
    void CreateComponents();
    void Arrange();
    // The closing texts: 接続を終了しました and 送信終了.
    void ShowEnded();
    // The status bar says what the run waits for, counting down each second.
    void WaitTick();

    std::unique_ptr<TSendEngine> engine_;
    std::unique_ptr<TOpenDialog> openDialog_;
    QLabel* countsLabel_;   // the status bar's running counts of a run
    QLabel* noticeLabel_;   // the status bar's remark on the run's connection
    // The progress field repaints at most this often during a run.
    static constexpr int ProgressPaintMs = 100;
    TRepaintLimit* progressPaint_ = nullptr;  // owned by Edit3
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
