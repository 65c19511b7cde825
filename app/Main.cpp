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

TForm1* Form1 = nullptr;

namespace {
// The 添付ファイル area below the body.
constexpr int AttachmentAreaHeight = 84;
}  // namespace

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

// ---------------------------------------------------------------------------

TForm1::TForm1(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Veltrow"));
    ApplyFormLook(this);
    CreateControls();
    CreateComponents();
    // Grown by the attachment area, so the body keeps its size.
    resize(640, 480 + AttachmentAreaHeight + 8);
    setMinimumSize(560, 420 + AttachmentAreaHeight + 8);
    Arrange();
    CenterOnScreen(this);
    Application().ErrorServer = [this] { return ServerText(engine_->Settings().Host, engine_->Settings().Port); };
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
    Button11 = button("Button11", "プレビュー", &TForm1::Button11Click);
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
                                 Button10, Memo1, Button2, Button6, Button7, Edit3, Button11};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    Attachments = new TAttachmentArea(this);
    setTabOrder(Edit3, Attachments->List);
    setTabOrder(Attachments->List, Attachments->AddButton);
    setTabOrder(Attachments->AddButton, Attachments->RemoveButton);
}

void TForm1::CreateComponents()
{
    // The working folder holds the settings, as it always has.
    engine_ = std::make_unique<TSendEngine>(*this, Application().Profile);
    NMSMTP1 = &engine_->Smtp();
    NMSMTP1->Name = "NMSMTP1";
    NMSMTP1->OnConnect = [this](TObject* Sender) { NMSMTP1Connect(Sender); };
    NMSMTP1->OnConnectionFailed = [this](TObject* Sender) { NMSMTP1ConnectFailed(Sender); };
    NMSMTP1->OnConnectionRequired = [this](bool& Handled) { NMSMTP1ConnectionRequired(Handled); };
    NMSMTP1->OnDisconnect = [this](TObject* Sender) { NMSMTP1Disconnect(Sender); };
    NMSMTP1->OnFailure = [this](TObject* Sender) { NMSMTP1Failure(Sender); };
    NMSMTP1->OnInvalidHost = [this](bool& Handled) { NMSMTP1InvalidHost(Handled); };
    NMSMTP1->OnSuccess = [this](TObject* Sender) { NMSMTP1Success(Sender); };

    NMUUProcessor1 = &engine_->Encoder();
    NMUUProcessor1->Name = "NMUUProcessor1";
    openDialog_ = std::make_unique<TOpenDialog>(this);
    OpenDialog1 = openDialog_.get();

    waitTimer_ = new QTimer(this);
    waitTimer_->setInterval(1000);
    QObject::connect(waitTimer_, &QTimer::timeout, this, [this] { WaitTick(); });
    // Painting the field and its layout for each of thousands of messages
    // would cost more than sending them; every text is set all the same.
    progressPaint_ = new TRepaintLimit(Edit3, ProgressPaintMs);
}

TForm1::~TForm1()
{
    // The run and the component's events point into this window; they go
    // first.
    Application().ErrorServer = nullptr;
    engine_.reset();
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
    const int areaTop = h - statusHeight - 8 - AttachmentAreaHeight;
    Memo1->setGeometry(left, 64, leftWidth, areaTop - 8 - 64);
    Attachments->setGeometry(8, areaTop, left - 8 + leftWidth, AttachmentAreaHeight);

    Button3->setGeometry(column, 6, 97, 25);
    Button4->setGeometry(column, 38, 96, 25);
    Button5->setGeometry(column, 70, 96, 25);
    Button10->setGeometry(column, 102, 96, 25);
    Edit3->setGeometry(column, 136, 96, 20);
    Button11->setGeometry(column, 166, 96, 25);
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
        engine_->Close();
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

void TForm1::Button8Click()
{
    // One step of the editor's own undo (Ctrl+Z brings the body back), where
    // clear() would empty the undo history too. No question first: clearing
    // is what the button is for, and a box asked at every press is soon
    // answered without reading it.
    QTextCursor all(Memo1->document());
    all.select(QTextCursor::Document);
    all.removeSelectedText();
}
void TForm1::Button2Click() { Memo1->paste(); }
void TForm1::Button6Click() { Memo1->copy(); }
void TForm1::Button7Click() { Memo1->cut(); }

// ---------------------------------------------------------------------------
// Settings and encoding

void TForm1::LoadSettings() { engine_->LoadSettings(); }

std::string TForm1::EncodeSubject(const std::string& Subject)
{
    return ::EncodeSubject(*NMUUProcessor1, Utf8ToCp932(Subject));
}

TSendRun& TForm1::Run() { return engine_->Run(); }

// ---------------------------------------------------------------------------
// Send and Abort

bool TForm1::Sending() const { return engine_->Run().Running(); }

TSendRequest TForm1::Request() const
{
    TSendRequest request;
    request.RecipientFile = S(Edit1->text());
    request.Subject = MailableText(Edit2->text(), "タイトル", false);
    request.Body = MailableText(Memo1->toPlainText(), "本文", true);
    request.Attachments = Attachments->Files();
    return request;
}

void TForm1::Button4Click()
{
    RememberInput(*this);
    engine_->Send(Request());
}

void TForm1::Button5Click() { engine_->Abort(); }

void TForm1::Button11Click()
{
    auto* form = new TPreviewForm(*engine_, Request(), this);
    form->show();
}

// ---------------------------------------------------------------------------
// SMTP events

void TForm1::NMSMTP1Connect(TObject*)
{
    // A test send from the preview is no run: the preview tells of it.
    if (!engine_->Run().Busy())
        return;
    runConnected_ = engine_->Run().Running();
    StatusBar1->showMessage(NMSMTP1->Encrypted() ? QStringLiteral("暗号化して接続しました")
                                                 : QStringLiteral("接続しました"));
}

void TForm1::NMSMTP1ConnectFailed(TObject*)
{
    // The user's own Abort is no failure worth a box of its own, and a run
    // opening a broken connection again tries on by itself.
    if (engine_->Run().AbortAsked() || engine_->Run().Reconnecting())
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
    if (!engine_->Run().Busy())
        return;
    // A run that lost its connection amid its messages goes on (it opens
    // one again, or ends and says so then).
    if (engine_->Run().State() == TSendState::Sending) {
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

void TForm1::Ended()
{
    waitTimer_->stop();
    // A run whose connection broke without the closing texts gets them now.
    if (runConnected_ && Edit3->text() != QStringLiteral("送信終了"))
        ShowEnded();
    runConnected_ = false;
}

void TForm1::Waiting(TWait What, int64_t Ms)
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
    if (remaining <= 0 || !engine_->Run().Running() || StatusBar1->currentMessage() != waitShown_) {
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
    if (engine_->Run().Running())
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
