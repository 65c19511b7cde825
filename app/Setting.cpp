#include "app/Setting.h"

#include <iterator>

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QSpinBox>

#include "app/Application.h"
#include "app/FooterEditor.h"
#include "app/OptOutDialog.h"
#include "engine/account/OAuth.h"
#include "engine/account/Passwords.h"
#include "rtl/StringList.h"

TForm3* Form3 = nullptr;

namespace {

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(x, y, w, h);
    return edit;
}

QFrame* MakeBevel(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* bevel = new QFrame(parent);
    bevel->setObjectName(QString::fromLatin1(name));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(x, y, w, h);
    return bevel;
}

QComboBox* MakeChoice(QWidget* parent, const char* name, std::initializer_list<const char*> items, int x, int y)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    for (const char* item : items)
        combo->addItem(QString::fromUtf8(item));
    combo->setGeometry(x, y, 97, 20);
    return combo;
}

// The rows below the first five; the buttons stand 40 pixels under the last
// separator, as under the first five.
constexpr int kButtonTop = 588;

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }
std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

TForm3::TForm3(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("設定"));
    ApplyFormLook(this);
    setFixedSize(400, kButtonTop + 64);

    Label1 = MakeLabel(this, "Label1", QStringLiteral("SMTPサーバ"), 8, 12);
    Edit1 = MakeEdit(this, "Edit1", 96, 8, 289, 20);
    Label8 = MakeLabel(this, "Label8", QStringLiteral("ポート"), 8, 36);
    Edit2 = MakeEdit(this, "Edit2", 96, 32, 65, 20);
    Edit2->setText(QStringLiteral("25"));
    Label2 = MakeLabel(this, "Label2", QStringLiteral("ユーザーID"), 8, 60);
    Edit3 = MakeEdit(this, "Edit3", 96, 56, 289, 20);
    Edit3->setPlaceholderText(QStringLiteral("ふつうは空のまま（コンピューターの名前を使います）"));
    Edit3->setToolTip(QStringLiteral("このコンピューターがサーバーへのあいさつ（HELO/EHLO）で名乗る名前です。\n"
                                     "ふつうは空のままにします。空のときはコンピューターの正式な名前を使います。"));
    Bevel1 = MakeBevel(this, "Bevel1", 0, 80, 385, 3);
    Label7 = MakeLabel(this, "Label7", QStringLiteral("送信者名"), 8, 92);
    Edit4 = MakeEdit(this, "Edit4", 96, 88, 289, 20);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("メールアドレス"), 8, 116);
    Edit5 = MakeEdit(this, "Edit5", 96, 112, 289, 20);
    CreateLaterRows();
    CreateSignInRows();
    CreateComplianceRows();

    Button3 = MakeButton(this, "Button3", QStringLiteral("クリア"), [this] { Button3Click(); });
    Button3->setGeometry(160, kButtonTop, 67, 25);
    Button2 = MakeButton(this, "Button2", QStringLiteral("設  定"), [this] { Button2Click(); });
    Button2->setGeometry(240, kButtonTop, 67, 25);
    Button1 = MakeButton(this, "Button1", QStringLiteral("閉じる"), [this] { Button1Click(); });
    Button1->setGeometry(320, kButtonTop, 65, 25);

    // Server, port, sender name, mail address, Close, Save, Clear, user ID;
    // the later fields after the first ones, top to bottom.
    QWidget* const order[] = {Edit1, Edit2, Edit4, Edit5, Button1, Button2, Button3, Edit3,
                              ComboBox1, Edit6, Edit7, CheckBox1, ComboBox2, SpinEdit1,
                              ComboBox3, Edit8, Edit9, Button4,
                              CheckBox2, Edit10, Edit11, Edit12, Edit13, Button5, Button6};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    // Esc is 閉じる: nothing is saved.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    QObject::connect(escape, &QShortcut::activated, this, [this] { Application().HandleCommand([this] { Button1Click(); }); });

    CenterOnScreen(this);
}

// The rows of the file's lines 6 to 9, below the first five.
void TForm3::CreateLaterRows()
{
    Bevel3 = MakeBevel(this, "Bevel3", 2, 136, 382, 3);
    // Same order as the file's lines 6 to 9 and as TConnectionSecurity and
    // TMailCharset.
    Label4 = MakeLabel(this, "Label4", QStringLiteral("暗号化"), 8, 148);
    ComboBox1 = MakeChoice(this, "ComboBox1", {"なし", "STARTTLS", "SSL/TLS"}, 96, 144);
    Label5 = MakeLabel(this, "Label5", QStringLiteral("ログイン名"), 8, 172);
    Edit6 = MakeEdit(this, "Edit6", 96, 168, 289, 20);
    Label10 = MakeLabel(this, "Label10", QStringLiteral("パスワード"), 8, 196);
    Edit7 = MakeEdit(this, "Edit7", 96, 192, 185, 20);
    Edit7->setEchoMode(QLineEdit::Password);
    CheckBox1 = new QCheckBox(QStringLiteral("保存しない"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(292, 192, 93, 20);
    // Only the user's choice offers another port, not the file's value shown.
    QObject::connect(ComboBox1, &QComboBox::activated, this,
                     [this] { Application().HandleCommand([this] { ComboBox1Select(); }); });
    Bevel4 = MakeBevel(this, "Bevel4", 2, 216, 382, 3);
    Label6 = MakeLabel(this, "Label6", QStringLiteral("文字コード"), 8, 228);
    ComboBox2 = MakeChoice(this, "ComboBox2", {"自動", "ISO-2022-JP", "UTF-8"}, 96, 224);
    Label9 = MakeLabel(this, "Label9", QStringLiteral("送信間隔（秒）"), 8, 252);
    SpinEdit1 = new QSpinBox(this);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->setRange(0, MaxPauseSeconds);
    SpinEdit1->setGeometry(96, 248, 65, 20);
    Bevel5 = MakeBevel(this, "Bevel5", 2, 276, 382, 3);

}

// The rows of lines 10 to 12 and the sign-in, below the pause.
void TForm3::CreateSignInRows()
{
    // Same order as TLoginMethod.
    Label11 = MakeLabel(this, "Label11", QStringLiteral("ログイン方式"), 8, 288);
    ComboBox3 = MakeChoice(this, "ComboBox3", {"パスワード", "Microsoft 365", "Google"}, 96, 284);
    ComboBox3->setFixedWidth(129);
    QObject::connect(ComboBox3, &QComboBox::currentIndexChanged, this, [this] { ComboBox3Select(); });
    Label12 = MakeLabel(this, "Label12", QStringLiteral("クライアントID"), 8, 312);
    Edit8 = MakeEdit(this, "Edit8", 96, 308, 289, 20);
    Label13 = MakeLabel(this, "Label13", QStringLiteral("テナント"), 8, 336);
    Edit9 = MakeEdit(this, "Edit9", 96, 332, 289, 20);
    Button4 = MakeButton(this, "Button4", QStringLiteral("サインイン"), [this] { Button4Click(); });
    Button4->setGeometry(96, 356, 81, 25);
    Label14 = MakeLabel(this, "Label14", QString(), 188, 362);
    Label14->setFixedWidth(197);
    Bevel6 = MakeBevel(this, "Bevel6", 2, 388, 382, 3);
    ComboBox3Select();
}

// The rows of lines 13 to 17, below the sign-in.
void TForm3::CreateComplianceRows()
{
    CheckBox2 = new QCheckBox(QStringLiteral("広告・宣伝メール"), this);
    CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
    CheckBox2->setGeometry(8, 396, 289, 20);
    CheckBox2->setToolTip(QStringLiteral("商品やサービスの広告・宣伝のメールです。本文の後にフッター（送信者名、住所、"
                                         "問い合わせ先、配信停止の方法）を付け、足りない項目があれば送信しません。"));
    Label15 = MakeLabel(this, "Label15", QStringLiteral("配信停止先"), 8, 424);
    Edit10 = MakeEdit(this, "Edit10", 96, 420, 289, 20);
    Edit10->setPlaceholderText(QStringLiteral("空のときはメールアドレスと同じ"));
    Label16 = MakeLabel(this, "Label16", QStringLiteral("配信停止URL"), 8, 448);
    Edit11 = MakeEdit(this, "Edit11", 96, 444, 289, 20);
    Edit11->setPlaceholderText(QStringLiteral("https://…（なければ空のまま）"));
    Edit11->setToolTip(QStringLiteral("ワンクリックで配信を停止できるページの https の URL です。"
                                      "{{メールアドレス}} など宛先リストの列名を使えます。"));
    Label17 = MakeLabel(this, "Label17", QStringLiteral("住所"), 8, 472);
    Edit12 = MakeEdit(this, "Edit12", 96, 468, 289, 20);
    Label18 = MakeLabel(this, "Label18", QStringLiteral("問い合わせ先"), 8, 496);
    Edit13 = MakeEdit(this, "Edit13", 96, 492, 289, 20);
    Edit13->setPlaceholderText(QStringLiteral("電話番号、メールアドレスまたは URL"));
    Button5 = MakeButton(this, "Button5", QStringLiteral("フッターを編集"), [this] { Button5Click(); });
    Button5->setGeometry(96, 516, 105, 25);
    Button6 = MakeButton(this, "Button6", QStringLiteral("配信停止の一覧"), [this] { Button6Click(); });
    Button6->setGeometry(209, 516, 105, 25);
    Bevel7 = MakeBevel(this, "Bevel7", 2, 548, 382, 3);
}

void TForm3::showEvent(QShowEvent* Event)
{
    QWidget::showEvent(Event);
    // A window restored by the window manager is not shown anew.
    if (!Event->spontaneous())
        Application().HandleCommand([this] { Open1(); });
}

void TForm3::Open1()
{
    TStringList lines;
    ReadSettingsFile(lines, Application().Profile.SettingsFile());
    TSettings settings;
    try {
        ParseSettings(lines, settings);
    } catch (const EStringListError&) {
        // A short file: what it has is shown, then the error.
        ShowSettings(settings);
        throw;
    }
    ShowSettings(settings);
}

void TForm3::ShowSettings(const TSettings& Settings)
{
    Edit1->setText(Text(Settings.Host));
    Edit2->setText(Text(Settings.Port));
    Edit3->setText(Text(Settings.UserID));
    Edit4->setText(Text(Settings.FromName));
    Edit5->setText(Text(Settings.FromAddress));
    ComboBox1->setCurrentIndex(Settings.Security);
    Edit6->setText(Text(Settings.LoginName));
    // A kept password is never shown, not even hidden.
    Edit7->clear();
    ComboBox2->setCurrentIndex(Settings.Charset);
    SpinEdit1->setValue(Settings.PauseSeconds);
    ComboBox3->setCurrentIndex(Settings.LoginMethod);
    Edit8->setText(Text(Settings.OAuthClientID));
    Edit9->setText(Text(Settings.OAuthTenantOrSecret));
    CheckBox2->setChecked(Settings.Advertising);
    Edit10->setText(Text(Settings.UnsubscribeAddress));
    Edit11->setText(Text(Settings.UnsubscribeUrl));
    Edit12->setText(Text(Settings.PostalAddress));
    Edit13->setText(Text(Settings.Contact));
    // A long server name or URL shows its beginning, not its end.
    for (QLineEdit* edit : findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly))
        edit->setCursorPosition(0);
    // The password itself never shows; that one is kept does.
    const bool stored = !Settings.LoginName.empty()
                        && Passwords().IsStored(PasswordKey(Settings.Host, Settings.Port, Settings.LoginName));
    Edit7->setPlaceholderText(stored ? QStringLiteral("保存済み") : QString());
    ComboBox3Select();
    ShowSignedIn();
}

TSettings TForm3::Fields() const
{
    TSettings settings;
    settings.Host = Text(Edit1);
    settings.Port = Text(Edit2);
    settings.UserID = Text(Edit3);
    settings.FromName = Text(Edit4);
    settings.FromAddress = Text(Edit5);
    settings.Security = static_cast<TConnectionSecurity>(ComboBox1->currentIndex());
    settings.LoginName = Text(Edit6);
    settings.Charset = static_cast<TMailCharset>(ComboBox2->currentIndex());
    settings.PauseSeconds = SpinEdit1->value();
    settings.LoginMethod = static_cast<TLoginMethod>(ComboBox3->currentIndex());
    settings.OAuthClientID = Text(Edit8);
    settings.OAuthTenantOrSecret = Text(Edit9);
    settings.Advertising = CheckBox2->isChecked();
    settings.UnsubscribeAddress = Text(Edit10);
    settings.UnsubscribeUrl = Text(Edit11);
    settings.PostalAddress = Text(Edit12);
    settings.Contact = Text(Edit13);
    return settings;
}

void TForm3::Button2Click()
{
    const TSettings settings = Fields();
    SaveSettings(settings, Application().Profile.SettingsFile());
    if (!settings.LoginName.empty() && !Edit7->text().isEmpty()) {
        Passwords().Save(PasswordKey(settings.Host, settings.Port, settings.LoginName),
                         Text(Edit7), CheckBox1->isChecked());
        if (!CheckBox1->isChecked() && !Passwords().SystemStoreRuns())
            ShowMessage("パスワードを保存する場所（GNOME キーリングや KWallet）が動いていないため、パスワードは "
                        "Veltrow を終えるまでだけ覚えておきます。起動するたびに、最初の送信でパスワードを尋ねます。");
    }
    Edit7->clear();
    close();
}

void TForm3::ComboBox1Select()
{
    const int offered = ComboBox1->currentIndex() == csStartTls ? 587 : ComboBox1->currentIndex() == csTls ? 465 : 0;
    if (offered == 0 || Edit2->text().trimmed() != QStringLiteral("25"))
        return;
    const std::string name = ComboBox1->currentIndex() == csStartTls ? "STARTTLS" : "SSL/TLS";
    if (Application().Ask(name + " のサーバーはふつうポート " + std::to_string(offered) +
                          " で待っています。\nポートを " + std::to_string(offered) + " に変えますか？"))
        Edit2->setText(QString::number(offered));
}

void TForm3::Button3Click()
{
    ShowSettings(TSettings{});
    CheckBox1->setChecked(false);
}

void TForm3::Button1Click()
{
    if (signingIn_)
        OAuthKeeper().AbortSignIn();
    close();
}

void TForm3::ComboBox3Select()
{
    const auto method = static_cast<TLoginMethod>(ComboBox3->currentIndex());
    const bool oauth = method != lmPassword;
    Label13->setText(method == lmOAuthGoogle ? QStringLiteral("クライアントシークレット") : QStringLiteral("テナント"));
    Label13->adjustSize();
    for (QWidget* w : {static_cast<QWidget*>(Edit8), static_cast<QWidget*>(Edit9), static_cast<QWidget*>(Button4)})
        w->setEnabled(oauth);
    Edit7->setEnabled(!oauth);
    CheckBox1->setEnabled(!oauth);
    if (!signingIn_)
        Label14->clear();
}

void TForm3::ShowSignedIn()
{
    QString text;
    try {
        if (const auto account = TOAuthAccount::From(Fields()))
            text = OAuthKeeper().SignedIn(*account) ? Text(account->Login + " でサインイン済み")
                                                    : QStringLiteral("サインインしていません");
    } catch (const Exception&) {
        // Without a login name, a client ID or a reachable store there is
        // no account to name.
        text = QStringLiteral("サインインしていません");
    }
    Label14->setText(text);
}

void TForm3::Button4Click()
{
    if (signingIn_) {
        OAuthKeeper().AbortSignIn();
        return;
    }
    const std::optional<TOAuthAccount> account = TOAuthAccount::From(Fields());
    if (!account)
        return;
    signingIn_ = true;
    Button4->setText(QStringLiteral("中止"));
    Label14->setText(QStringLiteral("ブラウザでサインインしてください"));
    auto restore = [this] {
        signingIn_ = false;
        Button4->setText(QStringLiteral("サインイン"));
        ShowSignedIn();
    };
    try {
        OAuthKeeper().SignIn(*account);
    } catch (const EOAuthAborted&) {
        // The user's own choice: no box.
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

void TForm3::Button5Click()
{
    OpenFooterEditor(this);
}

void TForm3::Button6Click()
{
    OpenOptOutDialog(this);
}
