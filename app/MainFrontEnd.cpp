// The main window as the engine's front end: its questions answered with
// the window's boxes, its news shown in the status bar.
#include "app/Main.h"

#include <filesystem>
#include <iterator>
#include <set>
#include <algorithm>
#include <string_view>
#include <vector>

#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTextCursor>
#include <QTimer>

#include "app/About.h"
#include "app/AttachmentArea.h"
#include "app/Application.h"
#include "app/LastInput.h"
#include "app/PasswordBox.h"
#include "app/PreviewForm.h"
#include "app/RepaintLimit.h"
#include "app/Setting.h"
#include "engine/run/ErrorWords.h"
#include "engine/compose/MessageText.h"
#include "engine/run/SendEngine.h"
#include "engine/run/SendRun.h"
#include "charset/CodePage.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

TResumeChoice TForm1::AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point)
{
    // Other files than the earlier run's: Enter must not mix two mailings.
    const int choice = Application().Choose(mtInformation, ResumeQuestion(Lines, Point),
                                            {"続きから", "最初から", "キャンセル"},
                                            Point.OtherFiles ? rcCancel : rcContinue, rcCancel);
    return static_cast<TResumeChoice>(choice);
}

bool TForm1::ConfirmRun(const TRunOutline& Outline)
{
    enum { Send, Cancel };
    // Sent before: Enter must not send everyone the same mail twice.
    return Application().Choose(mtConfirmation, ConfirmText(Outline), {"送信する", "キャンセル"},
                                Outline.SentBefore.empty() ? Send : Cancel, Cancel, "送信の確認")
           == Send;
}

bool TForm1::ConfirmEmptyFields(const std::string& Question)
{
    enum { Send, Cancel };
    // キャンセル by default: a slip of Enter must not send half-empty greetings.
    return Application().Choose(mtConfirmation, Question, {"送信する", "キャンセル"}, Cancel, Cancel) == Send;
}

TRunFrontEnd::TDuplicatesChoice TForm1::ConfirmRunWithDuplicates(const TRunOutline& Outline)
{
    // The buttons in the order of the choices; Enter does what the plain
    // confirmation does, and a list sent before asks to be cancelled.
    const int choice = Application().Choose(mtConfirmation, ConfirmText(Outline),
                                            {"送信する", "同じアドレスには 1 通だけ", "キャンセル"},
                                            Outline.SentBefore.empty() ? dcSendAll : dcCancel, dcCancel, "送信の確認");
    return static_cast<TDuplicatesChoice>(choice);
}

bool TForm1::SendWithoutMissingFiles(const std::string& Question)
{
    enum { Send, Cancel };
    // キャンセル by default: the user may rather put the files in place first.
    return Application().Choose(mtConfirmation, Question, {"送信する", "キャンセル"}, Cancel, Cancel) == Send;
}

bool TForm1::AllowFilesOutsideList(const std::string& Question)
{
    enum { Send, Cancel };
    // キャンセル by default: a list from elsewhere must not mail this computer's files.
    return Application().Choose(mtConfirmation, Question, {"送信する", "キャンセル"}, Cancel, Cancel) == Send;
}

std::optional<std::string> TForm1::AskPassword(const std::string& Login, const std::string& Server)
{
    return ::AskPassword(Login, Server);
}

bool TForm1::ConfirmLargeMessages(const std::string& Question) { return Application().Ask(Question); }

bool TForm1::TrustCertificate(const tls::ECertificateError&, const std::string&, const std::string& Question)
{
    return Application().Ask(Question);
}

bool TForm1::ContinueDespiteDomain(const std::string& Text)
{
    return Application().Choose(mtConfirmation, Text + "\n\nこのまま送信を続けますか？", {"続ける", "中止"}, 0, 1) == 0;
}

void TForm1::Inform(const std::string& Text) { Application().MessageBox(mtInformation, Text); }

void TForm1::Status(const std::string& Text) { StatusBar1->showMessage(Q(Text)); }

void TForm1::Notice(const std::string& Text) { noticeLabel_->setText(Q(Text)); }

void TForm1::Starting()
{
    countsLabel_->clear();
    noticeLabel_->clear();
    runConnected_ = false;
}

void TForm1::Counts(const TRunPlan& Plan) { countsLabel_->setText(Q(CountsText(Plan.Counts()))); }

void TForm1::Progress(int Sent, int Total)
{
    progressPaint_->Changing();
    Edit3->setText(Q(IntToStr(Sent) + "/" + IntToStr(Total)));
}

void TForm1::Summary(const TRunSummary& Summary)
{
    const int OpenFolder = 1;
    std::string text = SummaryText(Summary.Plan->ListCounts(), Summary.JournalPath);
    if (Summary.Utf8 > 0)
        text += "\n\n" + Utf8Note(Summary.Utf8, Summary.Auto);
    // One box for a run that a failure ended: what happened first.
    if (!Summary.Failure.empty())
        text = ErrorBoxText(Summary.Failure, ServerText(engine_->Settings().Host, engine_->Settings().Port)) + "\n\n"
               + text;
    if (Application().Choose(Summary.Failure.empty() ? mtInformation : mtError, text, {"OK", "フォルダを開く"}, 0, 0)
        == OpenFolder)
        Application().OpenFolder(std::filesystem::path(Summary.JournalPath).parent_path().string());
}

void TForm1::Failure(const std::exception& E)
{
    Application().HandleCommand([&] { Application().ShowException(E); });
}
