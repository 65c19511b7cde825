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
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "app/About.h"
#include "app/Application.h"
#include "app/ErrorWords.h"
#include "app/LastInput.h"
#include "app/MessageText.h"
#include "app/OAuth.h"
#include "app/Recipients.h"
#include "app/RepaintLimit.h"
#include "app/RunWords.h"
#include "app/SendRun.h"
#include "app/SendSecurity.h"
#include "app/Setting.h"
#include "app/SettingsFile.h"
#include "charset/CodePage.h"
#include "charset/MailCharset.h"
#include "codec/NMUUE.h"
#include "platform/Tls.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/Sasl.h"

TForm1* Form1 = nullptr;

void CreateForms()
{
    Form1 = new TForm1;
    Form2 = new TForm2;
    Form3 = new TForm3;
}

void FreeForms()
{
    delete Form3;
    Form3 = nullptr;
    delete Form2;
    Form2 = nullptr;
    delete Form1;
    Form1 = nullptr;
}

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
std::string S(const QString& text) { return text.toStdString(); }

// Names where in the message an unmailable character stands.
[[noreturn]] void RethrowWhere(const std::string& where, const ECodePageError& e)
{
    throw ECodePageError(where + ": " + e.Message());
}

}  // namespace

// ---------------------------------------------------------------------------

bool TOpenDialog::Execute()
{
    QFileDialog dialog(parent_);
    dialog.setObjectName(QStringLiteral("OpenDialog1"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (!FileName.empty())
        dialog.selectFile(Q(FileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = S(QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath());
    return true;
}

void LoadTextFile(const std::string& FileName, TStringList& Lines)
{
    ReadTextFile(FileName, Lines);
}

// ---------------------------------------------------------------------------

TForm1::TForm1(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Veltrow"));
    ApplyFormLook(this);
    CreateControls();
    CreateComponents();
    resize(640, 480);
    setMinimumSize(560, 420);
    Arrange();
    CenterOnScreen(this);
}

void TForm1::CreateControls()
{
    // Arrange places them.
    auto label = [this](const char* name, const char* text) {
        return MakeLabel(this, name, QString::fromUtf8(text), 0, 0);
    };
    auto edit = [this](const char* name) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    auto button = [this](const char* name, const char* text, void (TForm1::*handler)()) {
        return MakeButton(this, name, QString::fromUtf8(text), [this, handler] { (this->*handler)(); });
    };

    Label1 = label("Label1", "宛　　先");
    Edit1 = edit("Edit1");
    Button1 = button("Button1", "参　　照", &TForm1::Button1Click);
    Label2 = label("Label2", "タイトル");
    Edit2 = edit("Edit2");
    Button3 = button("Button3", "このｿﾌﾄに関して", &TForm1::Button3Click);
    Button4 = button("Button4", "送信する", &TForm1::Button4Click);
    Button5 = button("Button5", "中断する", &TForm1::Button5Click);
    Button10 = button("Button10", "設　　定", &TForm1::Button10Click);
    // A right-to-left reading order changes nothing on systems without
    // right-to-left support, so the progress stands left-aligned.
    Edit3 = edit("Edit3");
    Button7 = button("Button7", "切り取り", &TForm1::Button7Click);
    Button6 = button("Button6", "コピー", &TForm1::Button6Click);
    Button2 = button("Button2", "貼り付け", &TForm1::Button2Click);
    Button8 = button("Button8", "クリア", &TForm1::Button8Click);
    Label4 = label("Label4", "本　　文");
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    countsLabel_ = new QLabel(StatusBar1);
    countsLabel_->setObjectName(QStringLiteral("CountsLabel"));
    StatusBar1->addPermanentWidget(countsLabel_);
    // Stays for the run: the status messages of every message would hide
    // a passing one.
    noticeLabel_ = new QLabel(StatusBar1);
    noticeLabel_->setObjectName(QStringLiteral("NoticeLabel"));
    StatusBar1->addPermanentWidget(noticeLabel_);

    QWidget* const tabOrder[] = {Edit1, Button1, Edit2, Button3, Button4, Button5, Button8,
                                 Button10, Memo1, Button2, Button6, Button7, Edit3};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void TForm1::CreateComponents()
{
    smtp_ = std::make_unique<TNMSMTP>(nullptr);
    NMSMTP1 = smtp_.get();
    NMSMTP1->Name = "NMSMTP1";
    NMSMTP1->Port = 25;
    NMSMTP1->ReportLevel = 0;
    NMSMTP1->EncodeType = uuMime;
    NMSMTP1->ClearParams = true;
    NMSMTP1->SubType = mtPlain;
    NMSMTP1->Charset = "iso-2022-jp";
    NMSMTP1->SetFinalHeader(TExStringList{"MIME-Version: 1.0", "Content-Type: text/plain; charset=\"iso-2022-jp\""});
    NMSMTP1->OnConnect = [this](TObject* Sender) { NMSMTP1Connect(Sender); };
    NMSMTP1->OnConnectionFailed = [this](TObject* Sender) { NMSMTP1ConnectFailed(Sender); };
    NMSMTP1->OnConnectionRequired = [this](bool& Handled) { NMSMTP1ConnectionRequired(Handled); };
    NMSMTP1->OnDisconnect = [this](TObject* Sender) { NMSMTP1Disconnect(Sender); };
    NMSMTP1->OnFailure = [this](TObject* Sender) { NMSMTP1Failure(Sender); };
    NMSMTP1->OnInvalidHost = [this](bool& Handled) { NMSMTP1InvalidHost(Handled); };
    NMSMTP1->OnSuccess = [this](TObject* Sender) { NMSMTP1Success(Sender); };
    // An unattended run must not wait for a silent server without end.
    NMSMTP1->ReplyTimeouts = TSmtpTimeouts::Recommended();

    uuProcessor_ = std::make_unique<TNMUUProcessor>(nullptr);
    NMUUProcessor1 = uuProcessor_.get();
    NMUUProcessor1->Name = "NMUUProcessor1";
    text_ = std::make_unique<TMessageText>(*NMUUProcessor1);
    openDialog_ = std::make_unique<TOpenDialog>(this);
    OpenDialog1 = openDialog_.get();

    run_ = std::make_unique<TSendRun>(*NMSMTP1);
    run_->OnPrepare = [this] { return PrepareRun(); };
    run_->OnHeaderForm = [this](const std::string& Entry) { return RecipientHeaderForm(Entry); };
    run_->OnOutcome = [this](const TRunPlan& Plan) { countsLabel_->setText(Q(CountsText(Plan.Counts()))); };
    run_->OnNotice = [this](const std::string& Text) { noticeLabel_->setText(Q(Text)); };
    run_->OnSummary = [this](const TRunPlan& Plan, const std::string& Path, const std::string& Failure) {
        ShowSummary(Plan, Path, Failure);
    };
    run_->OnWait = [this](TWait What, int64_t Ms) { ShowWait(What, Ms); };
    run_->OnEnded = [this] { RunEnded(); };
    waitTimer_ = new QTimer(this);
    waitTimer_->setInterval(1000);
    QObject::connect(waitTimer_, &QTimer::timeout, this, [this] { WaitTick(); });
    run_->OnHarmlessFailure = [this](const std::string& Text) {
        StatusBar1->showMessage(
            Q("すべての宛先の結果は出ています。終了の挨拶 (QUIT) でエラーになりましたが、送り直す必要はありません: "
              + Text));
    };
    // Only the run's first connect may open the browser; a reconnect in a
    // long run renews the token by refresh alone.
    run_->OnBeforeConnect = [this] {
        security_.BeforeConnect(*NMSMTP1, !run_->Reconnecting(), [this](const std::string& Why) {
            // The provider's own words stay for the boxes.
            StatusBar1->showMessage(Q(Why.substr(0, Why.find('\n')) + " ブラウザでサインインしてください。"));
        });
    };
    run_->OnLoginRefused = [this] { return security_.TokenRefused(*NMSMTP1); };
    // Painting the field and its layout for each of thousands of messages
    // would cost more than sending them; every text is set all the same.
    progressPaint_ = new TRepaintLimit(Edit3, ProgressPaintMs);
    run_->OnProgress = [this](int Sent, int Total) {
        progressPaint_->Changing();
        Edit3->setText(Q(IntToStr(Sent) + "/" + IntToStr(Total)));
    };
}

TForm1::~TForm1()
{
    // The run and the component's events point into this window; they go
    // first.
    run_.reset();
    smtp_.reset();
}

void TForm1::Arrange()
{
    const int w = width();
    const int h = height();
    const int statusHeight = 22;
    const int column = w - 8 - 97;  // the right column of buttons
    const int left = 64;
    const int leftWidth = column - 16 - left;

    Label1->move(8, 12);
    Edit1->setGeometry(left, 8, leftWidth - 80, 20);
    Button1->setGeometry(left + leftWidth - 72, 6, 72, 24);
    Label2->move(8, 40);
    Edit2->setGeometry(left, 36, leftWidth, 20);
    Label4->move(8, 68);
    Memo1->setGeometry(left, 64, leftWidth, h - 64 - statusHeight - 8);

    Button3->setGeometry(column, 6, 97, 25);
    Button4->setGeometry(column, 38, 96, 25);
    Button5->setGeometry(column, 70, 96, 25);
    Button10->setGeometry(column, 102, 96, 25);
    Edit3->setGeometry(column, 136, 96, 20);
    const int bottom = h - statusHeight - 8;
    Button8->setGeometry(column, bottom - 25, 96, 25);
    Button2->setGeometry(column, bottom - 57, 96, 25);
    Button6->setGeometry(column, bottom - 89, 96, 25);
    Button7->setGeometry(column, bottom - 121, 96, 25);
    StatusBar1->setGeometry(0, h - statusHeight, w, statusHeight);

    for (QLabel* l : {Label1, Label2, Label4})
        l->adjustSize();
}

void TForm1::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    Arrange();
}

void TForm1::closeEvent(QCloseEvent* Event)
{
    Application().HandleCommand([this] {
        RememberInput(*this);
        // A run would otherwise go on unseen until its last message.
        OAuthKeeper().AbortSignIn();
        run_->WindowClosed();
        if (Form2)
            Form2->close();
        if (Form3)
            Form3->close();
    });
    Event->accept();
}

// ---------------------------------------------------------------------------
// Simple commands

void TForm1::Button1Click()
{
    OpenDialog1->FileName.clear();
    if (OpenDialog1->Execute())
        Edit1->setText(Q(OpenDialog1->FileName));
}

void TForm1::Button3Click()
{
    Form2->show();
    Form2->raise();
    Form2->activateWindow();
}

void TForm1::Button10Click()
{
    Form3->show();
    Form3->raise();
    Form3->activateWindow();
}

void TForm1::Button8Click() { Memo1->clear(); }
void TForm1::Button2Click() { Memo1->paste(); }
void TForm1::Button6Click() { Memo1->copy(); }
void TForm1::Button7Click() { Memo1->cut(); }

// ---------------------------------------------------------------------------
// Settings and encoding

void TForm1::LoadSettings()
{
    TStringList lines;
    ReadSettingsFile(lines);
    TSettings extension;
    ParseExtension(lines, extension);
    charset_ = extension.Charset;
    NMSMTP1->Host = lines[0];
    // An empty server or a port no connection can use is the settings'
    // fault, told before anything connects.
    CheckServerLines(lines);
    NMSMTP1->Port = StrToInt(lines[1]);
    NMSMTP1->UserID = lines[2];
    fromName_ = lines[3];
    if (IsAscii(fromName_)) {
        NMSMTP1->PostMessage->FromName = fromName_;
    } else if (charset_ == mcIso2022Jp || (charset_ == mcAuto && IsStrictJis(fromName_))) {
        std::string sjis;
        try {
            sjis = Utf8ToCp932(fromName_);
        } catch (const ECodePageError& e) {
            RethrowWhere("送信者名", e);
        }
        // The From line puts the address right after the name; an encoded
        // word must stand apart from it.
        NMSMTP1->PostMessage->FromName = EncodeHeaderText(*NMUUProcessor1, sjis) + " ";
    } else {
        NMSMTP1->PostMessage->FromName = EncodeUtf8HeaderText(*NMUUProcessor1, fromName_) + " ";
    }
    NMSMTP1->PostMessage->FromAddress = lines[4];
    TSettings settings;
    ParseSettings(lines, settings);
    pauseSeconds_ = settings.PauseSeconds;
}

std::string TForm1::EncodeSubject(const std::string& Subject)
{
    return ::EncodeSubject(*NMUUProcessor1, Utf8ToCp932(Subject));
}

void TForm1::PrepareMessage()
{
    const std::string subject = MailableText(Edit2->text(), "タイトル", false);
    TStringList body;
    body.SetText(MailableText(Memo1->toPlainText(), "本文", true));
    text_->Prepare(charset_, subject, body, fromName_);
    // At once, as ever: a Send refused during a run still gives the
    // messages that follow its subject and body.
    text_->Apply(*NMSMTP1, text_->TextsCharset());
}

std::string TForm1::RecipientHeaderForm(const std::string& Entry)
{
    const TMessageText::TEntry entry = text_->Entry(Entry);
    // Each message in the charset its entry needs.
    text_->Apply(*NMSMTP1, entry.Charset);
    return entry.Header;
}

std::optional<TPreparedRun> TForm1::PrepareRun()
{
    TRunRequest request;
    request.RecipientFile = S(Edit1->text());
    request.Subject = S(Edit2->text());
    request.Body = S(Memo1->toPlainText());
    request.CanCarry = [this](const std::string& Name) { return text_->CanCarry(Name); };
    request.JournalFolder = JournalFolderBeside(SettingsFileName);
    request.PauseSeconds = pauseSeconds_;
    // A long list takes a while: Abort and the window's close still come through.
    request.KeepAnswering = [this] {
        QCoreApplication::processEvents();
        return !run_->AbortAsked();
    };
    countsLabel_->clear();
    noticeLabel_->clear();
    runConnected_ = false;
    std::optional<TPreparedRun> prepared = ::PrepareRun(request);
    if (!prepared)
        return prepared;
    if (!prepared->Precheck.empty())
        StatusBar1->showMessage(Q(prepared->Precheck));
    // The trusted certificate's retry is the run already confirmed.
    if (!confirmed_ && !ConfirmRun(Outline(*prepared)))
        return std::nullopt;
    // The password is asked for only once the run is sure to go.
    if (!security_.Prepare(ReadSettings(), *NMSMTP1))
        return std::nullopt;
    return prepared;
}

TRunOutline TForm1::Outline(const TPreparedRun& Prepared) const
{
    TRunOutline outline;
    outline.Auto = charset_ == mcAuto;
    std::set<std::string> addresses;
    for (const TPlanEntry& e : Prepared.Plan->Entries()) {
        if (!e.Sendable) {
            ++outline.Invalid;
            continue;
        }
        ++outline.Messages;
        std::string name, address;
        SplitEntry(e.Entry, name, address);
        addresses.insert(LowerCase(address));
        outline.Utf8 += text_->Entry(e.Entry).Charset == mcUtf8 ? 1 : 0;
    }
    outline.Addresses = static_cast<int>(addresses.size());
    outline.InvalidText = Prepared.Precheck;
    outline.Settled = Prepared.Resumes ? static_cast<int>(Prepared.Resumes->Settled.size()) : 0;
    outline.SentBefore = FindFinishedRun(Prepared.JournalFolder, Prepared.Identity).value_or("");
    return outline;
}

void TForm1::ShowSummary(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure)
{
    const int OpenFolder = 1;
    int utf8 = 0;
    for (size_t i = 0; i < Plan.Entries().size(); ++i)
        if (Plan.OutcomeOf(i) == TOutcome::Sent && text_->Entry(Plan.Entries()[i].Entry).Charset == mcUtf8)
            ++utf8;
    std::string text = SummaryText(Plan.ListCounts(), JournalPath);
    if (utf8 > 0)
        text += "\n\n" + Utf8Note(utf8, charset_ == mcAuto);
    // One box for a run that a failure ended: what happened first.
    if (!Failure.empty())
        text = ErrorBoxText(Failure) + "\n\n" + text;
    if (Application().Choose(Failure.empty() ? mtInformation : mtError, text, {"OK", "フォルダを開く"}, 0, 0)
        == OpenFolder)
        Application().OpenFolder(std::filesystem::path(JournalPath).parent_path().string());
}

// ---------------------------------------------------------------------------
// Send and Abort

bool TForm1::Sending() const { return run_->Running(); }

void TForm1::Button4Click()
{
    RememberInput(*this);
    // Read afresh at every press: a Send during a run is refused, but its
    // subject and body reach the messages that follow.
    LoadSettings();
    PrepareMessage();
    // A login without encryption is refused before the run is confirmed.
    security_.Check(ReadSettings(), *NMSMTP1);
    try {
        run_->Send();
    } catch (const tls::ECertificateError& e) {
        // The question shows the reasons; trusted, the Send goes on at once.
        if (security_.TrustAfter(e, *NMSMTP1)) {
            confirmed_ = true;
            try {
                run_->Send();
            } catch (...) {
                confirmed_ = false;
                throw;
            }
            confirmed_ = false;
        }
    } catch (const sasl::EAuthError& e) {
        security_.LoginRefused();
        if (security_.OAuth())
            throw EOAuthError("サーバーがサインインを受け付けませんでした。もう一度サインインしてください。\nサーバーの応答: " +
                                  e.Reply(),
                              true);
        throw;
    }
}

void TForm1::Button5Click()
{
    // A sign-in in the browser is part of the run's connect.
    OAuthKeeper().AbortSignIn();
    run_->Abort();
}

// ---------------------------------------------------------------------------
// SMTP events

void TForm1::NMSMTP1Connect(TObject*)
{
    runConnected_ = run_->Running();
    StatusBar1->showMessage(NMSMTP1->Encrypted() ? QStringLiteral("暗号化して接続しました")
                                                 : QStringLiteral("接続しました"));
}

void TForm1::NMSMTP1ConnectFailed(TObject*)
{
    // The user's own Abort is no failure worth a box of its own, and a run
    // opening a broken connection again tries on by itself.
    if (run_->AbortAsked() || run_->Reconnecting())
        return;
    // The error box that follows explains it; one box per failure.
    StatusBar1->showMessage(QStringLiteral("接続に失敗しました"));
}

void TForm1::NMSMTP1ConnectionRequired(bool&)
{
    StatusBar1->showMessage(QStringLiteral("インターネットに接続してください"));
}

void TForm1::NMSMTP1Disconnect(TObject*)
{
    // A run that lost its connection amid its messages goes on (it opens
    // one again, or ends and says so then).
    if (run_->State() == TSendState::Sending) {
        StatusBar1->showMessage(QStringLiteral("サーバーとの接続が切れました"));
        return;
    }
    ShowEnded();
}

void TForm1::ShowEnded()
{
    waitTimer_->stop();
    StatusBar1->showMessage(QStringLiteral("接続を終了しました"));
    if (progressPaint_)
        progressPaint_->Flush();
    Edit3->setText(QStringLiteral("送信終了"));
}

void TForm1::RunEnded()
{
    waitTimer_->stop();
    // A run whose connection broke without the closing texts gets them now.
    if (runConnected_ && Edit3->text() != QStringLiteral("送信終了"))
        ShowEnded();
    runConnected_ = false;
}

void TForm1::ShowWait(TWait What, int64_t Ms)
{
    waitWhat_ = What;
    waitEnd_ = TickCount() + Ms;
    waitShown_ = Q(WaitText(What, Ms));
    StatusBar1->showMessage(waitShown_);
    waitTimer_->start();
}

void TForm1::WaitTick()
{
    const int64_t remaining = waitEnd_ - TickCount();
    // Another text in the status bar means the wait is over.
    if (remaining <= 0 || !run_->Running() || StatusBar1->currentMessage() != waitShown_) {
        waitTimer_->stop();
        return;
    }
    waitShown_ = Q(WaitText(waitWhat_, remaining));
    StatusBar1->showMessage(waitShown_);
}

void TForm1::NMSMTP1Failure(TObject*)
{
    // In a run the refusal goes to the journal and the summary; a box per
    // refused message would halt the run until someone answers it.
    if (run_->Running())
        return;
    StatusBar1->showMessage(QStringLiteral("オペレーションに失敗しました"));
}

void TForm1::NMSMTP1InvalidHost(bool&)
{
    StatusBar1->showMessage(QStringLiteral("サーバー名が違っています"));
}

void TForm1::NMSMTP1Success(TObject*)
{
    StatusBar1->showMessage(QStringLiteral("メッセージを送り終わりました"));
}
