// The three windows as the user meets them: captions, fonts, tab order, the
// About and Settings windows, Browse, the editing commands, and the settings
// file as the Settings window and LoadSettings read it.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLocale>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <regex>
#include <set>

#include "app/About.h"
#include "engine/compose/Footer.h"
#include "app/FooterEditor.h"
#include "app/OptOutDialog.h"
#include "engine/list/OptOut.h"
#include "engine/run/ErrorWords.h"
#include "engine/account/Passwords.h"
#include "charset/CodePage.h"
#include "app/Main.h"
#include "app/Setting.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"

using namespace apptest;
using testsupport::ScriptedPeer;

namespace {

QString Caption(QWidget* w)
{
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    return w->windowTitle();
}

// The focusable widgets of a window in the order Tab visits them.
std::vector<QString> TabOrder(QWidget* form, QWidget* first)
{
    std::vector<QString> names;
    QWidget* w = first;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            names.push_back(w->objectName());
        w = w->nextInFocusChain();
    } while (w && w != first && names.size() < 40);
    (void)form;
    return names;
}

const char kDefaultSettings[] = "\r\n25\r\n\r\n\r\n\r\n";

}  // namespace

using WindowsTest = AppTest;

TEST_F(WindowsTest, StartShowsOnlyTheMainWindowWithEmptyFields)
{
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_FALSE(Form3->isVisible());
    EXPECT_EQ(Form1->windowTitle(), "Veltrow");
    EXPECT_EQ(Form2->windowTitle(), "このソフトに関して");
    EXPECT_EQ(Form3->windowTitle(), "設定");
    for (QLineEdit* e : {Form1->Edit1, Form1->Edit2, Form1->Edit3})
        EXPECT_TRUE(e->text().isEmpty()) << e->objectName().toStdString();
    EXPECT_TRUE(Form1->Memo1->toPlainText().isEmpty());
    EXPECT_TRUE(Form1->StatusBar1->currentMessage().isEmpty());
    // Nothing is read at start-up, so nothing is created either.
    EXPECT_FALSE(std::filesystem::exists(SettingsFileName));
}

TEST_F(WindowsTest, CaptionsAreExactAndLegible)
{
    const std::vector<std::pair<QWidget*, const char*>> captions = {
        {Form1->Label1, "宛　　先"},        {Form1->Button1, "参　　照"},
        {Form1->Label2, "タイトル"},        {Form1->Button3, "このｿﾌﾄに関して"},
        {Form1->Button4, "送信する"},       {Form1->Button5, "中断する"},
        {Form1->Button8, "クリア"},         {Form1->Button10, "設　　定"},
        {Form1->Label4, "本　　文"},        {Form1->Button2, "貼り付け"},
        {Form1->Button6, "コピー"},         {Form1->Button7, "切り取り"},
        {Form2->Label1, "Veltrow"},         {Form2->Label2, " V1.0 2000.08.13"},
        {Form2->Label3, "Presented by Quorvane"}, {Form2->Button1, "閉じる"},
        {Form3->Label1, "SMTPサーバ"},      {Form3->Label8, "ポート"},
        {Form3->Label2, "ユーザーID"},      {Form3->Label7, "送信者名"},
        {Form3->Label3, "メールアドレス"},  {Form3->Button3, "クリア"},
        {Form3->Button2, "設  定"},         {Form3->Button1, "閉じる"},
    };
    for (const auto& [widget, text] : captions) {
        SCOPED_TRACE(widget->objectName().toStdString());
        const QString caption = Caption(widget);
        EXPECT_EQ(caption, QString::fromUtf8(text));
        // A glyph for every character (no boxes) and room for the whole text.
        const QFontMetrics metrics(widget->font());
        for (QChar c : caption)
            EXPECT_TRUE(metrics.inFont(c)) << QString(c).toStdString();
        if (qobject_cast<QPushButton*>(widget)) {
            EXPECT_LE(metrics.horizontalAdvance(caption) + 8, widget->width());
        }
    }
    for (QWidget* form : {static_cast<QWidget*>(Form1), static_cast<QWidget*>(Form2), static_cast<QWidget*>(Form3)}) {
        EXPECT_EQ(form->font().families().value(0), "ＭＳ Ｐゴシック");
        EXPECT_EQ(form->font().pixelSize(), 12);
    }
    // Button face as the windows' background.
    EXPECT_EQ(Form1->palette().color(QPalette::Window), Form1->palette().color(QPalette::Button));
    for (QLabel* l : {Form2->Label1, Form2->Label2, Form2->Label3}) {
        EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(Qt::blue));
        EXPECT_TRUE(l->font().bold());
    }
    EXPECT_EQ(Form2->Label1->font().pixelSize(), 16);
    EXPECT_EQ(Form2->Label2->font().pixelSize(), 11);
    EXPECT_EQ(Form2->Label3->font().pixelSize(), 13);
}

TEST_F(WindowsTest, SizesPositionsAndTabOrder)
{
    EXPECT_EQ(Form1->size(), QSize(640, 572));  // 480 and the attachment area
    EXPECT_EQ(Form2->size(), QSize(400, 280));
    EXPECT_EQ(Form3->size(), QSize(400, 652));

    const std::vector<std::pair<QWidget*, QRect>> settings = {
        {Form3->Edit1, {96, 8, 289, 20}},    {Form3->Edit2, {96, 32, 65, 20}},
        {Form3->Edit3, {96, 56, 289, 20}},   {Form3->Bevel1, {0, 80, 385, 3}},
        {Form3->Edit4, {96, 88, 289, 20}},   {Form3->Edit5, {96, 112, 289, 20}},
        {Form3->Bevel3, {2, 136, 382, 3}},   {Form3->ComboBox1, {96, 144, 97, 20}},
        {Form3->Edit6, {96, 168, 289, 20}},  {Form3->Edit7, {96, 192, 185, 20}},
        {Form3->CheckBox1, {292, 192, 93, 20}}, {Form3->ComboBox2, {96, 224, 97, 20}},
        {Form3->SpinEdit1, {96, 248, 65, 20}}, {Form3->ComboBox3, {96, 284, 129, 20}},
        {Form3->Edit8, {96, 308, 289, 20}},  {Form3->Edit9, {96, 332, 289, 20}},
        {Form3->Button4, {96, 356, 81, 25}}, {Form3->Button3, {160, 588, 67, 25}},
        {Form3->Button2, {240, 588, 67, 25}}, {Form3->Button1, {320, 588, 65, 25}},
    };
    for (const auto& [widget, rect] : settings)
        EXPECT_EQ(widget->geometry(), rect) << widget->objectName().toStdString();
    for (const auto& [label, pos] : std::vector<std::pair<QLabel*, QPoint>>{
             {Form3->Label1, {8, 12}}, {Form3->Label8, {8, 36}}, {Form3->Label2, {8, 60}},
             {Form3->Label7, {8, 92}}, {Form3->Label3, {8, 116}}})
        EXPECT_EQ(label->pos(), pos) << label->objectName().toStdString();

    // The right column, top to bottom, buttons 96 wide (About 97).
    std::vector<QWidget*> column = {Form1->Button3, Form1->Button4, Form1->Button5, Form1->Button10,
                                    Form1->Edit3,   Form1->Button11, Form1->Button7, Form1->Button6, Form1->Button2,
                                    Form1->Button8};
    for (size_t i = 1; i < column.size(); ++i) {
        EXPECT_LT(column[i - 1]->geometry().bottom(), column[i]->y());
        EXPECT_EQ(column[i]->x(), column[0]->x());
    }
    EXPECT_EQ(Form1->Button3->width(), 97);
    EXPECT_EQ(Form1->Button4->width(), 96);
    EXPECT_LT(Form1->Memo1->geometry().right(), Form1->Button3->x());
    EXPECT_LT(Form1->Memo1->geometry().bottom(), Form1->StatusBar1->y());
    EXPECT_EQ(Form1->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);

    const std::vector<QString> mainOrder = {"Edit1",  "Button1", "Edit2",   "Button3", "Button4",
                                            "Button5", "Button8", "Button10", "Memo1",  "Button2",
                                            "Button6", "Button7", "Edit3", "AttachmentList", "AttachmentAdd",
                                            "AttachmentRemove"};
    auto order = TabOrder(Form1, Form1->Edit1);
    order.resize(std::min(order.size(), mainOrder.size()));
    EXPECT_EQ(order, mainOrder);
    // The first five fields and the buttons as ever, then the later fields.
    const std::vector<QString> settingsOrder = {"Edit1",   "Edit2", "Edit4",     "Edit5", "Button1", "Button2",
                                                "Button3", "Edit3", "ComboBox1", "Edit6", "Edit7",   "CheckBox1",
                                                "ComboBox2", "SpinEdit1"};
    order = TabOrder(Form3, Form3->Edit1);
    order.resize(std::min(order.size(), settingsOrder.size()));
    EXPECT_EQ(order, settingsOrder);
    // The advertising rows follow the sign-in, top to bottom.
    const std::vector<QString> advertisingOrder = {"Button4", "CheckBox2", "Edit10", "Edit11",
                                                   "Edit12",  "Edit13",    "Button5", "Button6"};
    order = TabOrder(Form3, Form3->Button4);
    order.resize(std::min(order.size(), advertisingOrder.size()));
    EXPECT_EQ(order, advertisingOrder);
}

TEST_F(WindowsTest, AboutTwiceShowsOneWindowThatReopensUnchanged)
{
    Click(Form1->Button3);
    Click(Form1->Button3);
    EXPECT_TRUE(Form2->isVisible());
    int aboutWindows = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        aboutWindows += (dynamic_cast<TForm2*>(w) != nullptr && w->isVisible()) ? 1 : 0;
    EXPECT_EQ(aboutWindows, 1);
    // The main window stays usable while About is open.
    QTest::keyClicks(Form1->Edit2, "abc");
    EXPECT_EQ(Form1->Edit2->text(), "abc");

    TForm2* before = Form2;
    Click(Form2->Button1);
    EXPECT_FALSE(Form2->isVisible());
    Click(Form1->Button3);
    EXPECT_EQ(Form2, before);
    EXPECT_TRUE(Form2->isVisible());
    EXPECT_EQ(Form2->Label2->text(), " V1.0 2000.08.13");
}

TEST_F(WindowsTest, SettingsWindowCreatesDefaultsShowsAndSavesTheFile)
{
    Click(Form1->Button10);
    ASSERT_TRUE(Form3->isVisible());
    EXPECT_EQ(ReadFile(SettingsFileName), kDefaultSettings);
    EXPECT_EQ(Form3->Edit1->text(), "");
    EXPECT_EQ(Form3->Edit2->text(), "25");

    for (QLineEdit* e : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4, Form3->Edit5})
        e->clear();
    QTest::keyClicks(Form3->Edit1, "smtp.example.jp ");
    QTest::keyClicks(Form3->Edit2, "58x");  // saved as typed
    QTest::keyClicks(Form3->Edit3, "pc01");
    TypeText(Form3->Edit4, QString::fromUtf8("山田 太郎"));
    QTest::keyClicks(Form3->Edit5, "taro@example.jp");
    Click(Form3->Button2);
    EXPECT_FALSE(Form3->isVisible());
    EXPECT_EQ(ReadFile(SettingsFileName),
              "smtp.example.jp \r\n58x\r\npc01\r\n山田 太郎\r\ntaro@example.jp\r\nnone\r\n\r\nauto\r\n0\r\n"
              "password\r\n\r\n\r\n\r\n\r\nno\r\n\r\n\r\n");
    EXPECT_TRUE(Boxes.empty());

    // Clear and Close write nothing; reopening shows the file again.
    Click(Form1->Button10);
    Form3->ComboBox1->setCurrentIndex(2);
    Form3->Edit6->setText("taro");
    Form3->ComboBox2->setCurrentIndex(1);
    Form3->SpinEdit1->setValue(7);
    Click(Form3->Button3);
    EXPECT_EQ(Form3->Edit1->text(), "");
    EXPECT_EQ(Form3->Edit2->text(), "25");
    EXPECT_EQ(Form3->Edit4->text(), "");
    EXPECT_EQ(Form3->ComboBox1->currentText(), "なし");
    EXPECT_EQ(Form3->Edit6->text(), "");
    EXPECT_EQ(Form3->ComboBox2->currentText(), "自動");
    EXPECT_EQ(Form3->SpinEdit1->value(), 0);
    Click(Form3->Button1);
    EXPECT_FALSE(Form3->isVisible());
    EXPECT_EQ(ReadFile(SettingsFileName),
              "smtp.example.jp \r\n58x\r\npc01\r\n山田 太郎\r\ntaro@example.jp\r\nnone\r\n\r\nauto\r\n0\r\n"
              "password\r\n\r\n\r\n\r\n\r\nno\r\n\r\n\r\n");
    Click(Form1->Button10);
    EXPECT_EQ(Form3->Edit1->text(), "smtp.example.jp ");
    EXPECT_EQ(Form3->Edit4->text(), QString::fromUtf8("山田 太郎"));
}

TEST_F(WindowsTest, SettingsWindowReportsShortFileAndFailedSave)
{
    WriteFile(SettingsFileName, "mail.example.jp\n587\n");
    Click(Form1->Button10);
    EXPECT_TRUE(Form3->isVisible());
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"リストのインデックスが範囲を超えています (2)"});
    EXPECT_EQ(Boxes[0].Caption, "Veltrow");
    EXPECT_EQ(Boxes[0].Type, mtError);
    EXPECT_EQ(Form3->Edit1->text(), "mail.example.jp");
    EXPECT_EQ(Form3->Edit2->text(), "587");

    // A save that cannot write keeps the window open with the edits.
    std::filesystem::remove(SettingsFileName);
    std::filesystem::create_directory(SettingsFileName);
    Click(Form3->Button2);
    EXPECT_EQ(BoxTexts().back(), "ファイル 設定.txt を作成できません");
    EXPECT_TRUE(Form3->isVisible());
}

// Mended: a settings file that exists but cannot be read is reported, never
// replaced by the defaults.
TEST_F(WindowsTest, UnreadableSettingsFileIsReportedAndNeverOverwritten)
{
    std::filesystem::create_directory(SettingsFileName);
    WriteFile(std::string(SettingsFileName) + "/keep", "x");
    Click(Form1->Button10);
    Click(Form1->Button4);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"ファイル 設定.txt は開けません",
                                                     "ファイル 設定.txt は開けません"}));
    EXPECT_TRUE(IsDirectory(SettingsFileName));
    EXPECT_EQ(ReadFile(std::string(SettingsFileName) + "/keep"), "x");
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
}

TEST_F(WindowsTest, SettingsOfFiveToNineLinesTakeDefaultsForWhatIsMissing)
{
    struct Case {
        const char* name;
        std::string extension;  // after the five lines "h", "587", "pc", "山田", "a@b"
        TConnectionSecurity security;
        std::string login;
        TMailCharset charset;
        int pause;
        const char* securityShown;
        const char* charsetShown;
    };
    const std::vector<Case> cases = {
        {"five lines", "", csNone, "", mcAuto, 0, "なし", "自動"},
        {"nine empty lines", "\r\n\r\n\r\n\r\n", csNone, "", mcAuto, 0, "なし", "自動"},
        {"nine lines", "starttls\r\ntaro@example.jp\r\nutf-8\r\n30\r\n", csStartTls, "taro@example.jp", mcUtf8,
         30, "STARTTLS", "UTF-8"},
        {"seven lines, LF", "tls\n 太郎 \n", csTls, " 太郎 ", mcAuto, 0, "SSL/TLS", "自動"},
        {"eight lines", "\r\n\r\niso-2022-jp", csNone, "", mcIso2022Jp, 0, "なし", "ISO-2022-JP"},
        {"largest pause, leading zeros", "none\r\n\r\nauto\r\n0003600\r\n", csNone, "", mcAuto, 3600, "なし", "自動"},
        {"lines after the seventeenth", "\r\n\r\n\r\n5\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nlater\r\n", csNone, "",
         mcAuto, 5, "なし", "自動"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(SettingsFileName, "h\r\n587\r\npc\r\n山田\r\na@b\r\n" + c.extension);
        const TSettings s = ReadSettings();
        EXPECT_EQ(std::vector<std::string>({s.Host, s.Port, s.UserID, s.FromName, s.FromAddress}),
                  std::vector<std::string>({"h", "587", "pc", "山田", "a@b"}));
        EXPECT_EQ(s.Security, c.security);
        EXPECT_EQ(s.LoginName, c.login);
        EXPECT_EQ(s.Charset, c.charset);
        EXPECT_EQ(s.PauseSeconds, c.pause);

        Click(Form1->Button10);
        EXPECT_EQ(Form3->ComboBox1->currentText(), QString::fromUtf8(c.securityShown));
        EXPECT_EQ(Form3->Edit6->text().toStdString(), c.login);
        EXPECT_EQ(Form3->ComboBox2->currentText(), QString::fromUtf8(c.charsetShown));
        EXPECT_EQ(Form3->SpinEdit1->value(), c.pause);
        Click(Form3->Button1);
    }
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(WindowsTest, NineLinesRoundTripThroughSave)
{
    const std::vector<std::string> files = {
        "h\r\n587\r\npc\r\n山田\r\na@b\r\ntls\r\ntaro\r\nutf-8\r\n3600\r\npassword\r\n\r\n\r\n"
        "\r\n\r\nno\r\n\r\n\r\n",
        "smtp.example.jp \r\n25\r\n\r\n\r\nb@c\r\nstarttls\r\n 山田 太郎 \r\niso-2022-jp\r\n1\r\npassword\r\n\r\n\r\n"
        "\r\n\r\nno\r\n\r\n\r\n",
        "h\r\n587\r\n\r\n\r\na@b\r\nstarttls\r\na@b\r\nauto\r\n0\r\noauth-microsoft\r\n0e1f-id\r\ncontoso.jp\r\n"
        "\r\n\r\nno\r\n\r\n\r\n",
        "h\r\n465\r\n\r\n\r\na@b\r\ntls\r\na@b\r\nauto\r\n0\r\noauth-google\r\n1-x.apps\r\nGOCSPX-y\r\n"
        "\r\n\r\nno\r\n\r\n\r\n",
        "h\r\n587\r\n\r\n山田商店\r\na@b\r\nstarttls\r\na@b\r\nauto\r\n0\r\npassword\r\n\r\n\r\n"
        "stop@example.jp\r\nhttps://example.jp/stop?m={{メールアドレス}}\r\nyes\r\n東京都千代田区1-1\r\n03-1234-5678\r\n",
        "\r\n25\r\n\r\n\r\n\r\nnone\r\n\r\nauto\r\n0\r\npassword\r\n\r\n\r\n"
        "\r\n\r\nno\r\n\r\n\r\n",
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        WriteFile(SettingsFileName, file);
        Click(Form1->Button10);
        Click(Form3->Button2);
        EXPECT_EQ(ReadFile(SettingsFileName), file);
    }
    // A choice made in the window reaches the file and comes back.
    Click(Form1->Button10);
    Form3->ComboBox1->setCurrentIndex(1);
    Form3->ComboBox2->setCurrentIndex(2);
    QTest::keyClicks(Form3->Edit6, "login");
    Form3->SpinEdit1->setValue(12);
    Click(Form3->Button2);
    EXPECT_EQ(ReadFile(SettingsFileName),
              "\r\n25\r\n\r\n\r\n\r\nstarttls\r\nlogin\r\nutf-8\r\n12\r\npassword\r\n\r\n\r\n"
              "\r\n\r\nno\r\n\r\n\r\n");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(WindowsTest, AdvertisingFieldsRefuseAPlainUrlAndTheFooterEditorStartsFromTheTemplate)
{
    Click(Form1->Button10);
    Form3->CheckBox2->setChecked(true);
    TypeText(Form3->Edit10, "stop@example.jp");
    TypeText(Form3->Edit11, "http://example.jp/stop");
    TypeText(Form3->Edit12, QString::fromUtf8("東京都千代田区1-1"));
    TypeText(Form3->Edit13, "03-1234-5678");
    Click(Form3->Button2);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"設定.txt の 14 行目 (配信停止URL) の「http://example.jp/stop」は使えません。"
                                                   "https:// で始まるアドレスを書いてください。"});
    EXPECT_TRUE(Form3->isVisible());
    EXPECT_EQ(ReadFile(SettingsFileName), kDefaultSettings);
    Form3->Edit11->setText(QString::fromUtf8("https://example.jp/stop?m={{メールアドレス}}"));
    Click(Form3->Button2);
    EXPECT_FALSE(Form3->isVisible());
    EXPECT_EQ(ReadFile(SettingsFileName), std::string(kDefaultSettings) +
                                              "none\r\n\r\nauto\r\n0\r\npassword\r\n\r\n\r\nstop@example.jp\r\n"
                                              "https://example.jp/stop?m={{メールアドレス}}\r\nyes\r\n東京都千代田区1-1\r\n"
                                              "03-1234-5678\r\n");

    Click(Form1->Button10);
    EXPECT_TRUE(Form3->CheckBox2->isChecked());
    Click(Form3->Button5);
    auto* editor = dynamic_cast<TFooterEditor*>(Form3->findChild<QWidget*>("FooterEditor"));
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->Memo1->toPlainText().toStdString(), BuiltInFooter());
    editor->Memo1->setPlainText(QString::fromUtf8("{{送信者名}}\n{{住所}}"));
    Click(editor->Button1);
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(ReadFile(FooterFileName), "{{送信者名}}\r\n{{住所}}\r\n");
    // Reopened it shows the file; 標準に戻す offers the template without saving.
    Click(Form3->Button5);
    EXPECT_EQ(editor->Memo1->toPlainText(), QString::fromUtf8("{{送信者名}}\n{{住所}}"));
    Click(editor->Button2);
    EXPECT_EQ(editor->Memo1->toPlainText().toStdString(), BuiltInFooter());
    Click(editor->Button3);
    EXPECT_EQ(ReadFile(FooterFileName), "{{送信者名}}\r\n{{住所}}\r\n");
    EXPECT_EQ(BoxTexts().size(), 1u);
}

// The list shows every entry, the ones that are no address too; 削除 takes
// the chosen ones out after a question and leaves every other byte.
TEST_F(WindowsTest, TheOptOutWindowListsTheEntriesAndRemovesTheChosenOnes)
{
    const testsupport::TempFolder folder;
    struct TProfileGuard {
        ~TProfileGuard() { Application().Profile = {}; }
    } guard;
    Application().Profile.Folder = folder.Path();
    const std::string path = folder.Path() + "/" + OptOutFileName;
    // UTF-8 throughout: the byte-order mark settles the file's code page.
    const std::string comment = "# 電話で依頼された宛先";
    WriteFile(path, "\xEF\xBB\xBF" + std::string("gone@example.jp\r\n") + comment
                        + "\r\n <Hanako@Example.JP>\r\n\r\nnot an address\r\ntaro@example.jp\n# end\r\nlast@example.jp");
    EXPECT_THROW(TOptOutList::Load(folder.Path()), EOptOutError);
    Click(Form1->Button10);
    Click(Form3->Button6);
    auto* dialog = dynamic_cast<TOptOutDialog*>(Form3->findChild<QWidget*>("OptOutDialog"));
    ASSERT_NE(dialog, nullptr);
    auto listed = [&] {
        std::vector<std::string> entries;
        for (int i = 0; i < dialog->List->count(); ++i)
            entries.push_back(dialog->List->item(i)->text().toStdString());
        return entries;
    };
    auto choose = [&](std::set<std::string> entries) {
        dialog->List->clearSelection();
        for (int i = 0; i < dialog->List->count(); ++i)
            dialog->List->item(i)->setSelected(entries.contains(dialog->List->item(i)->text().toStdString()));
    };
    EXPECT_EQ(listed(), (std::vector<std::string>{"gone@example.jp", "Hanako@Example.JP", "not an address",
                                                   "taro@example.jp", "last@example.jp"}));
    EXPECT_FALSE(dialog->Button3->isEnabled());

    struct Case {
        std::set<std::string> chosen;
        bool answer;  // to the question
        std::string file;
    };
    const std::string before = ReadFile(path);
    const Case cases[] = {
        {{"not an address", "last@example.jp"}, false, before},
        {{"not an address", "last@example.jp"}, true,
         "\xEF\xBB\xBF" + std::string("gone@example.jp\r\n") + comment
             + "\r\n <Hanako@Example.JP>\r\n\r\ntaro@example.jp\n# end\r\n"},
        // The first line goes, the byte-order mark stays.
        {{"gone@example.jp"}, true,
         "\xEF\xBB\xBF" + comment + "\r\n <Hanako@Example.JP>\r\n\r\ntaro@example.jp\n# end\r\n"},
    };
    for (const Case& c : cases) {
        Boxes.clear();
        choose(c.chosen);
        EXPECT_TRUE(dialog->Button3->isEnabled());
        QuestionAnswer = c.answer;
        Click(dialog->Button3);
        ASSERT_EQ(Boxes.size(), 1u);
        for (const std::string& entry : c.chosen)
            EXPECT_NE(Boxes[0].Text.find(entry), std::string::npos) << Boxes[0].Text;
        EXPECT_EQ(ReadFile(path), c.file);
    }
    EXPECT_EQ(listed(), (std::vector<std::string>{"Hanako@Example.JP", "taro@example.jp"}));
    EXPECT_EQ(dialog->Label2->text().toStdString(), "1 件を配信停止から外しました。");
    EXPECT_EQ(TOptOutList::Load(folder.Path()).Count(), 2u);
    // An address added shows in the list at once.
    TypeText(dialog->Edit1, QStringLiteral("new@example.jp"));
    QTest::keyClick(dialog->Edit1, Qt::Key_Return);
    EXPECT_EQ(listed(), (std::vector<std::string>{"Hanako@Example.JP", "taro@example.jp", "new@example.jp"}));
    EXPECT_FALSE(RemoveOptOut(folder.Path(), "nobody@example.jp"));
}

// After Save the password field says one is kept (never showing it), and
// long fields show their beginning.
TEST_F(WindowsTest, TheSettingsWindowShowsAKeptPasswordAndTheBeginningOfLongFields)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    struct TStoreGuard {
        ~TStoreGuard() { Passwords().UseSystemStore(std::make_unique<TKeychainStore>()); }
    } guard;
    const QString host = QStringLiteral("smtp.") + QString(80, QLatin1Char('h')) + QStringLiteral(".example.jp");
    const QString url = QStringLiteral("https://example.jp/") + QString(200, QLatin1Char('u'));
    Click(Form1->Button10);
    Form3->Edit1->setText(host);
    Form3->Edit2->setText("587");
    Form3->Edit6->setText("kept@example.jp");
    QTest::keyClicks(Form3->Edit7, "hidden-word");
    Form3->Edit11->setText(url);
    Click(Form3->Button2);
    EXPECT_FALSE(Form3->isVisible());

    Click(Form1->Button10);
    EXPECT_EQ(Form3->Edit7->text(), "");
    EXPECT_EQ(Form3->Edit7->placeholderText(), "保存済み");
    for (QLineEdit* edit : {Form3->Edit1, Form3->Edit11, Form3->Edit6}) {
        EXPECT_EQ(edit->cursorPosition(), 0) << edit->objectName().toStdString();
        EXPECT_FALSE(edit->text().isEmpty());
    }
    EXPECT_EQ(Form3->Edit1->text(), host);

    // Only the login, server and port of a kept password say so.
    struct Case {
        std::string host, port, login;
        const char* shown;
    };
    const Case cases[] = {
        {host.toStdString(), "587", "kept@example.jp", "保存済み"},
        {host.toStdString(), "465", "kept@example.jp", ""},
        {host.toStdString(), "587", "other@example.jp", ""},
        {host.toStdString(), "587", "", ""},
    };
    for (const Case& c : cases) {
        TSettings settings;
        settings.Host = c.host;
        settings.Port = c.port;
        settings.LoginName = c.login;
        Form3->ShowSettings(settings);
        EXPECT_EQ(Form3->Edit7->placeholderText().toStdString(), c.shown) << c.port << " " << c.login;
    }
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(WindowsTest, TheOptOutListAndTheFooterAreThoseOfTheProfileFolder)
{
    const testsupport::TempFolder folder;
    struct TProfileGuard {
        ~TProfileGuard() { Application().Profile = {}; }
    } guard;
    Application().Profile.Folder = folder.Path();
    Click(Form1->Button10);
    Click(Form3->Button6);
    auto* dialog = dynamic_cast<TOptOutDialog*>(Form3->findChild<QWidget*>("OptOutDialog"));
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    struct Case {
        const char* typed;
        const char* said;  // Label2; nullptr: an error box
    };
    const Case cases[] = {
        {" <Hanako@Example.JP> ", "「<Hanako@Example.JP>」を配信停止に加えました。"},
        {"hanako@example.jp", "「hanako@example.jp」はすでに配信停止にあります。"},  // any letter case
        {"mailto:Hanako@EXAMPLE.jp", "「mailto:Hanako@EXAMPLE.jp」はすでに配信停止にあります。"},
        {"jiro@example.jp.", "「jiro@example.jp.」を配信停止に加えました。"},
        {"山田 太郎", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Boxes.clear();
        dialog->Label2->clear();
        TypeText(dialog->Edit1, QString::fromUtf8(c.typed));
        QTest::keyClick(dialog->Edit1, Qt::Key_Return);
        EXPECT_EQ(dialog->Label2->text().toStdString(), c.said ? c.said : "");
        EXPECT_EQ(BoxTexts().size(), c.said ? 0u : 1u);
    }
    const TOptOutList list = TOptOutList::Load(folder.Path());
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_TRUE(list.Contains("Hanako@example.jp"));
    Click(dialog->Button2);
    EXPECT_FALSE(dialog->isVisible());

    Click(Form3->Button5);
    auto* editor = dynamic_cast<TFooterEditor*>(Form3->findChild<QWidget*>("FooterEditor"));
    ASSERT_NE(editor, nullptr);
    editor->Memo1->setPlainText(QString::fromUtf8("{{送信者名}}"));
    Click(editor->Button1);
    EXPECT_EQ(ReadFile(folder.Path() + "/" + FooterFileName), "{{送信者名}}\r\n");
    EXPECT_FALSE(std::filesystem::exists(FooterFileName));
    EXPECT_FALSE(std::filesystem::exists(OptOutFileName));
}

TEST_F(WindowsTest, EachBadSettingsValueIsRefusedBeforeConnecting)
{
    ScriptedPeer peer;
    peer.Accept().Start();  // a connection would show in Connections()
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
    const std::string five = "127.0.0.1\r\n" + std::to_string(peer.Port()) + "\r\npc\r\nn\r\na@b\r\n";
    const std::string security = "none、starttls、tls のどれかを書いてください。";
    const std::string charset = "auto、iso-2022-jp、utf-8 のどれかを書いてください。";
    const std::string pause = "0 から 3600 までの整数を書いてください。";
    const std::string https = "https:// で始まるアドレスを書いてください。";
    const std::string seven = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n";  // lines 6 to 12 as defaults
    struct Case {
        std::string extension;
        std::string box;
    };
    const std::vector<Case> cases = {
        {"ssl\r\n", "設定.txt の 6 行目 (暗号化) の「ssl」は使えません。" + security},
        {"TLS\r\n", "設定.txt の 6 行目 (暗号化) の「TLS」は使えません。" + security},
        {"tls \r\n", "設定.txt の 6 行目 (暗号化) の「tls 」は使えません。" + security},
        {"none\r\n\r\nshift_jis\r\n", "設定.txt の 8 行目 (文字コード) の「shift_jis」は使えません。" + charset},
        {"\r\n\r\nUTF-8\r\n", "設定.txt の 8 行目 (文字コード) の「UTF-8」は使えません。" + charset},
        {"\r\n\r\n\r\n3601\r\n", "設定.txt の 9 行目 (送信間隔の秒数) の「3601」は使えません。" + pause},
        {"\r\n\r\n\r\n-1\r\n", "設定.txt の 9 行目 (送信間隔の秒数) の「-1」は使えません。" + pause},
        {"\r\n\r\n\r\n1.5\r\n", "設定.txt の 9 行目 (送信間隔の秒数) の「1.5」は使えません。" + pause},
        {"\r\n\r\n\r\n\r\noauth\r\n",
         "設定.txt の 10 行目 (ログイン方式) の「oauth」は使えません。password、oauth-microsoft、oauth-google のどれかを書いてください。"},
        {"\r\n\r\n\r\n99999999999999999999\r\n",
         "設定.txt の 9 行目 (送信間隔の秒数) の「99999999999999999999」は使えません。" + pause},
        {seven + "山田 <stop@example.jp>\r\n",
         "設定.txt の 13 行目 (配信停止アドレス) の「山田 <stop@example.jp>」は使えません。メールアドレスを書いてください。"},
        {seven + "\r\nhttp://example.jp/stop\r\n", "設定.txt の 14 行目 (配信停止URL) の「http://example.jp/stop」は使えません。" + https},
        {seven + "\r\nhttps:///stop\r\n", "設定.txt の 14 行目 (配信停止URL) の「https:///stop」は使えません。" + https},
        {seven + "\r\n\r\nはい\r\n",
         "設定.txt の 15 行目 (広告・宣伝メール) の「はい」は使えません。yes、no のどれかを書いてください。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        WriteFile(SettingsFileName, five + c.extension);
        Boxes.clear();
        Click(Form1->Button4);
        Click(Form1->Button10);
        EXPECT_EQ(BoxTexts(), std::vector<std::string>({c.box, c.box}));
        EXPECT_THROW(ReadSettings(), ESettingsError);
        Click(Form3->Button1);
    }
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(WindowsTest, LoadSettingsReadsTheLinesAsWritten)
{
    struct Case {
        const char* name;
        std::string file;
        std::string host;
        int port;
        std::string user;
        std::string fromName;  // as stored for the From line
        std::string address;
    };
    const std::vector<Case> cases = {
        {"crlf", "mail.example.jp\r\n587\r\npc01\r\nTaro\r\ntaro@example.jp\r\n", "mail.example.jp", 587,
         "pc01", "Taro", "taro@example.jp"},
        {"lf and trailing blank", "mail.example.jp \n25\n\n\na@b\n", "mail.example.jp ", 25, "", "", "a@b"},
        {"no final line end", "h\r\n 26 \r\nu\r\nn\r\na@b", "h", 26, "u", "n", "a@b"},
        // Lines 6 to 17 are settings of their own now; what follows them is not read.
        {"lines after the seventeenth", "h\n25\nu\nn\na@b\nnone\n\nauto\n0\npassword\n\n\n\n\nno\n\n\nextra\n", "h", 25,
         "u", "n", "a@b"},
        // Written on a Shift_JIS system: CP932 bytes of 山田.
        {"cp932", "h\r\n25\r\nu\r\n\x8E\x52\x93\x63\r\na@b\r\n", "h", 25, "u",
         "=?iso-2022-jp?B?GyRCOzNFRBsoQg==?= ", "a@b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(SettingsFileName, c.file);
        Form1->LoadSettings();
        EXPECT_EQ(Form1->NMSMTP1->Host, c.host);
        EXPECT_EQ(Form1->NMSMTP1->Port, c.port);
        EXPECT_EQ(Form1->NMSMTP1->UserID, c.user);
        EXPECT_EQ(Form1->NMSMTP1->PostMessage->FromName, c.fromName);
        EXPECT_EQ(Form1->NMSMTP1->PostMessage->FromAddress, c.address);
        EXPECT_EQ(ReadFile(SettingsFileName), c.file);
    }
}

TEST_F(WindowsTest, BrowseOpensEmptyAndKeepsEdit1WhenCanceled)
{
    const std::string chosen = WriteRecipients("a@example.jp\r\n", "宛先.txt");
    Form1->Edit1->setText("keep.txt");

    QString fieldAtOpen = "unset";
    auto answer = [&](bool accept) {
        QTimer::singleShot(0, [&, accept] {
            WaitUntil([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; }, 5000);
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            fieldAtOpen = name ? name->text() : QString("no field");
            auto* buttons = dialog->findChild<QDialogButtonBox*>();
            ASSERT_NE(buttons, nullptr);
            if (accept) {
                dialog->selectFile(QString::fromStdString(chosen));
                Click(buttons->button(QDialogButtonBox::Open));
            } else {
                Click(buttons->button(QDialogButtonBox::Cancel));
            }
        });
        Click(Form1->Button1);
    };

    answer(false);
    EXPECT_EQ(Form1->Edit1->text(), "keep.txt");
    EXPECT_EQ(fieldAtOpen, "");

    answer(true);
    EXPECT_EQ(Form1->Edit1->text().toStdString(), chosen);
    EXPECT_EQ(fieldAtOpen, "");
    // Opening again starts empty, not with the path in Edit1.
    answer(false);
    EXPECT_EQ(fieldAtOpen, "");
    EXPECT_EQ(Form1->Edit1->text().toStdString(), chosen);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(WindowsTest, EditingCommandsActOnMemo1Only)
{
    Form1->Memo1->setPlainText("abcdef");
    QTextCursor cursor = Form1->Memo1->textCursor();
    cursor.setPosition(2);
    cursor.setPosition(4, QTextCursor::KeepAnchor);  // "cd"
    Form1->Memo1->setTextCursor(cursor);
    Form1->Edit2->setText("subject");
    Form1->Edit2->setFocus();
    Form1->Edit2->selectAll();
    Form1->Edit1->setText("path");
    Form1->Edit3->setText("2/5");

    Click(Form1->Button7);  // Cut
    EXPECT_EQ(Form1->Memo1->toPlainText(), "abef");
    EXPECT_EQ(QApplication::clipboard()->text(), "cd");
    EXPECT_EQ(Form1->Edit2->text(), "subject");

    cursor = Form1->Memo1->textCursor();
    cursor.setPosition(0);
    Form1->Memo1->setTextCursor(cursor);
    Click(Form1->Button2);  // Paste at the caret
    EXPECT_EQ(Form1->Memo1->toPlainText(), "cdabef");

    cursor.setPosition(4);
    cursor.setPosition(6, QTextCursor::KeepAnchor);  // "ef"
    Form1->Memo1->setTextCursor(cursor);
    Click(Form1->Button6);  // Copy
    EXPECT_EQ(QApplication::clipboard()->text(), "ef");
    EXPECT_EQ(Form1->Memo1->toPlainText(), "cdabef");

    // Nothing selected: Copy and Cut change nothing.
    cursor.clearSelection();
    Form1->Memo1->setTextCursor(cursor);
    Click(Form1->Button6);
    Click(Form1->Button7);
    EXPECT_EQ(QApplication::clipboard()->text(), "ef");
    EXPECT_EQ(Form1->Memo1->toPlainText(), "cdabef");

    Click(Form1->Button8);  // Clear
    EXPECT_TRUE(Form1->Memo1->toPlainText().isEmpty());
    EXPECT_EQ(Form1->Edit2->text(), "subject");
    EXPECT_EQ(Form1->Edit1->text(), "path");
    EXPECT_EQ(Form1->Edit3->text(), "2/5");
    EXPECT_TRUE(Boxes.empty());
    // Cleared by mistake, Ctrl+Z brings the body back; Ctrl+Shift+Z clears it again.
    QTest::keyClick(Form1->Memo1, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Form1->Memo1->toPlainText(), "cdabef");
    QTest::keyClick(Form1->Memo1, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(Form1->Memo1->toPlainText().isEmpty());
}

TEST_F(WindowsTest, AbortWhileNotConnectedChangesNothing)
{
    Form1->StatusBar1->showMessage("before");
    Form1->Edit3->setText("1/2");
    Click(Form1->Button5);
    EXPECT_EQ(Form1->StatusBar1->currentMessage(), "before");
    EXPECT_EQ(Form1->Edit3->text(), "1/2");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(WindowsTest, ComponentTextsGetJapaneseWordsFirst)
{
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"Already connected",
         "まだ送信中です。送信が終わるのを待つか、「中断する」を押してから送信してください。\n\nAlready connected"},
        {"Null Remote Address",
         "サーバー名が空か、見つかりません。「設定」の SMTPサーバー を確認してください。\n\nNull Remote Address"},
        // No login is tried in plain SMTP: the reply is quoted, the English words are not.
        {"Authentication failed\n501 5.5.4 empty HELO",
         "サーバーがあいさつ（HELO）でこのコンピューターが名乗った名前を受け付けませんでした: 501 5.5.4 empty HELO\n"
         "「設定」のユーザーID を確認してください。ふつうは空のままにします（コンピューターの正式な名前を使います）。"},
        {"To holds a line break",
         "メールの見出しに改行が入っています。タイトル、宛先と「設定」の送信者名を確認してください。\n\nTo holds a line break"},
        {"550 5.1.1 no such user\r\n",
         "サーバーが受け付けませんでした: 550 5.1.1 no such user\n宛先と設定を確認してください。"},
        {"451 try again later\r\n",
         "サーバーが受け付けませんでした: 451 try again later\n時間をおいてもう一度送信してください。"},
        {"10061:Connection refused",
         "サーバーが接続を断りました。「設定」の SMTPサーバー とポートを確認してください。\n\n10061:Connection refused"},
        {"11001:Host not found",
         "サーバー名が見つかりません。「設定」の SMTPサーバー を確認してください。\n\n11001:Host not found"},
        {"10040:Message too long",
         "ネットワークのエラーが起きました。ネットワークの接続を確認してください。\n\n10040:Message too long"},
        // Texts of the application itself stay as they are; unknown English
        // ones follow a Japanese sentence.
        {"ファイル a.txt は開けません", "ファイル a.txt は開けません"},
        {"'abc' は整数ではありません", "'abc' は整数ではありません"},
        {"Something new", "エラーが起きました。詳しい内容は次のとおりです:\n\nSomething new"},
        {"12:30 meeting", "エラーが起きました。詳しい内容は次のとおりです:\n\n12:30 meeting"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorBoxText(c.text), c.shown) << c.text;

    // Every fixed English text the components and the runtime base raise
    // has its words. Japanese texts speak for themselves.
    const std::regex raised(R"re((?:E[A-Za-z]*Error|Exception|ThrowIfCanceled)\("([ !#-\[\]-~]+)")re");
    int texts = 0;
    for (const char* folder : {"rtl", "platform", "codec", "net", "smtp", "charset", "app"}) {
        for (const auto& file : std::filesystem::directory_iterator(std::string(VELTROW_SOURCE_DIR) + "/" + folder)) {
            const std::string source = ReadFile(file.path().string());
            for (auto m = std::sregex_iterator(source.begin(), source.end(), raised); m != std::sregex_iterator(); ++m) {
                const std::string text = (*m)[1];
                ++texts;
                EXPECT_NE(ExplainError(text), "") << file.path() << ": " << text;
            }
        }
    }
    EXPECT_GT(texts, 25);
}

TEST_F(WindowsTest, AFailedConnectionNamesItsServerAndARefusedLoginTheFieldsToMend)
{
    EXPECT_EQ(ServerText("", "25"), "");
    EXPECT_EQ(ServerText(" smtp.example.jp ", " 587 "), "smtp.example.jp:587");
    EXPECT_EQ(ServerText("::1", ""), "[::1]:25");

    const std::string server = "smtp.example.jp:587";
    const std::string check = "「設定」の「SMTPサーバ」と「ポート」";
    struct Case {
        std::string text;
        std::string server;
        std::string leads;  // what the box begins with
        std::string ends;   // and ends with
    };
    const std::string login = "ログインできませんでした。\nサーバーの応答: ";
    const Case cases[] = {
        {"Connection Failed", server, "サーバー smtp.example.jp:587 に接続できませんでした。" + check, "Connection Failed"},
        {"10061:Connection refused", server, "サーバー smtp.example.jp:587 に接続できませんでした。", "refused"},
        {"Connection Timed out", server, "サーバー smtp.example.jp:587 が応答しません。" + check, "Timed out"},
        {"10060:Connection timed out", server, "サーバー smtp.example.jp:587 が応答しません。", "timed out"},
        {"11001:Host not found", server, "サーバー名 smtp.example.jp が見つかりません。「設定」の「SMTPサーバ」", "found"},
        {"Host Lookup Failed", "[::1]:25", "サーバー名 [::1] が見つかりません。", "Failed"},
        // Without the settings' server, the words without it.
        {"Connection Failed", "", "サーバーに接続できませんでした。", "Connection Failed"},
        // Not a connection's fault: the server changes nothing.
        {"Connection Canceled", server, "接続を取りやめました。", "Canceled"},
        {login + "535 5.7.8 bad\nログイン名かパスワードが正しくありません。", server, login + "535 5.7.8 bad\n",
         "「設定」の「ログイン名」と「パスワード」を確かめて「設  定」で保存し、もう一度送信してください。"},
        {login + "534 5.7.9 app\nサーバーがこのログイン方法を受け付けません（アプリ パスワードが必要な場合があります）。", "",
         login, "「設定」の「パスワード」にアプリ パスワードを入れて「設  定」で保存し、もう一度送信してください。"},
        {login + "538 5.7.11 tls\nサーバーは暗号化した接続でだけログインを受け付けます。", "", login,
         "「設定」の「暗号化」で STARTTLS か SSL/TLS を選んでください。"},
        {login + "454 4.7.0 later\nサーバー側の一時的な問題です。しばらくしてからもう一度送信してください。", "", login,
         "しばらくしてからもう一度送信してください。"},
        {login + "500 what\nサーバーがログインを拒否しました。", "", login,
         "「設定」の「ログイン名」と「パスワード」を確認してください。"},
    };
    for (const Case& c : cases) {
        const std::string shown = ErrorBoxText(c.text, c.server);
        EXPECT_EQ(shown.rfind(c.leads, 0), 0u) << c.text << "\n" << shown;
        EXPECT_TRUE(shown.ends_with(c.ends)) << c.text << "\n" << shown;
        // Each sentence once: the reply is quoted, not repeated after it.
        EXPECT_EQ(shown.find(c.ends), shown.rfind(c.ends)) << shown;
    }
}

TEST_F(WindowsTest, AFailedRunShowsOneBoxInJapaneseAndTheNextSendJustWorks)
{
    Form1->Edit2->setText("t");
    Form1->Memo1->setPlainText("b");
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));

    ScriptedPeer peer;
    peer.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Accept().SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<a@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go ahead");
    peer.ExpectUntil("\r\n.\r\n").SendLine("250 queued");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    WriteSettings("127.0.0.1", std::to_string(peer.Port()), "pc01", "Taro", "");
    Click(Form1->Button4);  // no sender address
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    WriteSettings("127.0.0.1", std::to_string(peer.Port()), "pc01", "Taro", "taro@example.jp");
    Click(Form1->Button4);
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();

    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    ASSERT_EQ(Summaries.size(), 2u);
    EXPECT_EQ(Summaries[0].Type, mtError);
    // The explanation first, the component's words, then what the run came to.
    EXPECT_EQ(Summaries[0].Text.rfind("送信者のメールアドレスが設定されていません。「設定」でメールアドレスを入力してください。"
                                      "\n\nIncomplete Header\n\n送信済み 0 件\n",
                                      0),
              0u)
        << Summaries[0].Text;
    EXPECT_EQ(Summaries[1].Type, mtInformation);
    EXPECT_EQ(Summaries[1].Text.rfind("送信済み 1 件\n", 0), 0u) << Summaries[1].Text;
}

TEST_F(WindowsTest, FileDialogSpeaksJapaneseUnderAJapaneseLocale)
{
    ASSERT_TRUE(InstallQtTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
    QString cancel;
    QTimer::singleShot(0, [&] {
        WaitUntil([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; }, 5000);
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        ASSERT_NE(buttons, nullptr);
        cancel = buttons->button(QDialogButtonBox::Cancel)->text();
        Click(buttons->button(QDialogButtonBox::Cancel));
    });
    Click(Form1->Button1);
    // English again for the tests after this one.
    EXPECT_FALSE(InstallQtTranslations(QLocale::c()));
    EXPECT_EQ(cancel, QString::fromUtf8("キャンセル"));
    EXPECT_TRUE(Boxes.empty());
}
