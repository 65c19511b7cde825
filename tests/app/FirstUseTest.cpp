// What a new user meets around a run: the confirmation before it, settings
// that cannot connect, the words of waits and boxes, and the small windows'
// keys and hints.

#include <filesystem>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "app/About.h"
#include "engine/journal/Journal.h"
#include "app/Main.h"
#include "app/PasswordBox.h"
#include "engine/run/RunWords.h"
#include "app/Setting.h"
#include "engine/account/SettingsFile.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::SmtpSink;

namespace {

using FirstUseTest = AppTest;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(RunWords, TheConfirmationSaysWhatGoesWhereAndWhatWentBefore)
{
    struct Case {
        TRunOutline outline;
        std::vector<std::string> said;
    };
    // The window's own test shows the counts; here what it does not meet.
    const Case cases[] = {
        {{5, 5, 2, true, 1, "宛先不正 1 件（4 行目）は送信しません", 3, ""},
         {"うち 2 通は UTF-8 で送ります（JIS X 0208 にない文字があるため）。",
          "送らない宛先: 4 件\n・宛先不正 1 件（4 行目）は送信しません\n・前回の送信で済んだ 3 件"}},
        {{1, 1, 1, false, 0, "", 0, "20261207-091500-2"},
         {"うち 1 通は UTF-8 で送ります。", "この宛先ファイルへ 2026/12/07 09:15:00 に送信済みです。"}},
    };
    for (const Case& c : cases)
        for (const std::string& part : c.said)
            EXPECT_TRUE(Has(ConfirmText(c.outline), part)) << ConfirmText(c.outline) << "\n--- lacks ---\n" << part;
}

TEST(RunWords, WaitsSayWhatForAndTheSecondsLeft)
{
    const std::string stop = "（「中断する」で止められます）";
    struct Case {
        TWait what;
        int64_t ms;
        std::string text;
    } cases[] = {
        {TWait::Reconnect, 45000, "サーバーとの接続が切れました。接続し直すまで あと 45 秒" + stop},
        {TWait::Retry, 59001, "一時エラーの宛先へ送り直すまで あと 60 秒" + stop},
        {TWait::Pacing, 1, "送信間隔: 次のメッセージまで あと 1 秒" + stop},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WaitText(c.what, c.ms), c.text);
}

TEST_F(FirstUseTest, EveryRunIsConfirmedBeforeAnythingAndARepeatIsNamedWithItsDate)
{
    SmtpSink sink;
    WriteSettings("127.0.0.1", std::to_string(sink.Port()), "pc01", "Taro", "taro@example.jp");
    Form1->Edit2->setText("ご案内");
    Form1->Memo1->setPlainText("本文です");
    // a and A are one address; 髙 needs UTF-8; lines 4 and 5 cannot be sent.
    Form1->Edit1->setText(QString::fromStdString(
        WriteRecipients("a@example.jp\r\n髙橋 <b@example.jp>\r\nA@example.jp\r\n\r\nnot-an-address\r\n")));

    Watch watch;
    ConfirmSend = false;
    Click(Form1->Button4);
    ASSERT_EQ(Confirmations.size(), 1u);
    const TMessageBoxRequest& box = Confirmations[0];
    EXPECT_EQ(box.Caption, "送信の確認");
    // The repeated address is named, with the choice to send it once.
    EXPECT_EQ(box.Buttons, (std::vector<std::string>{"送信する", "同じアドレスには 1 通だけ", "キャンセル"}));
    EXPECT_EQ(box.Default, 0);
    for (const char* part : {"3 通のメッセージを 2 件のアドレスに送信します。", "うち 1 通は UTF-8 で送ります",
                             "送らない宛先: 2 件", "A@example.jp: 1、3 行目"})
        EXPECT_TRUE(Has(box.Text, part)) << box.Text;
    EXPECT_FALSE(Has(box.Text, "送信済み"));
    // Cancelled: nothing connected, nothing sent, no summary.
    EXPECT_EQ(std::count(watch.status.begin(), watch.status.end(), "接続しました"), 0);
    EXPECT_TRUE(Summaries.empty());
    EXPECT_EQ(sink.MessageCount(), 0u);

    ConfirmSend = true;
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(3));
    ASSERT_EQ(Summaries.size(), 1u);
    EXPECT_TRUE(Has(Summaries[0].Text, "うち 1 通は UTF-8 で送りました")) << Summaries[0].Text;
    const std::string journal = Summaries[0].Text.substr(Summaries[0].Text.find("送信記録: ") + 14);
    const std::string stem = std::filesystem::path(journal).stem().string();

    // The same subject, body and list once more: the box says when it went.
    Click(Form1->Button4);
    ASSERT_EQ(Confirmations.size(), 3u);
    EXPECT_TRUE(Has(Confirmations[2].Text, StemDateText(stem) + " に送信済みです")) << Confirmations[2].Text;
    // Enter cancels a repeat; only 送信する itself sends everyone the mail again.
    EXPECT_EQ(Confirmations[2].Buttons.at(Confirmations[2].Default), "キャンセル");
    ASSERT_TRUE(sink.WaitForMessages(6));
    EXPECT_EQ(Confirmations[1].Default, 0);
    // Another body is another message.
    Form1->Memo1->setPlainText("別の本文");
    ConfirmSend = false;
    Click(Form1->Button4);
    EXPECT_FALSE(Has(Confirmations.back().Text, "送信済み"));
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(FirstUseTest, ThePasswordIsAskedOnlyOnceTheRunIsConfirmed)
{
    ScriptedPeer peer;  // nothing may connect
    peer.Start();
    WriteFile(SettingsFileName, "127.0.0.1\r\n" + std::to_string(peer.Port())
                                    + "\r\n\r\nTaro\r\ntaro@example.jp\r\nstarttls\r\nnobody-kept@example.jp\r\n");
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
    int passwordBoxes = 0;
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        if (auto* box = dynamic_cast<TPasswordBox*>(QApplication::activeModalWidget())) {
            ++passwordBoxes;
            box->CancelButton->click();
        }
    });
    cancel.start(10);
    ConfirmSend = false;
    Click(Form1->Button4);
    EXPECT_EQ(Confirmations.size(), 1u);
    EXPECT_EQ(passwordBoxes, 0);
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(FirstUseTest, AServerOrPortThatCannotConnectIsASettingsErrorBeforeAnything)
{
    struct Case {
        std::string host, port, line;
    };
    const Case cases[] = {
        {"", "25", "1 行目 (SMTPサーバー) が空です"},
        {"127.0.0.1", "0", "2 行目 (ポート) の「0」は使えません。1 から 65535 までの整数"},
        {"127.0.0.1", "65536", "2 行目 (ポート) の「65536」"},
        {"127.0.0.1", "25x", "2 行目 (ポート) の「25x」"},
        {"127.0.0.1", "", "2 行目 (ポート) の「」"},
    };
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + ":" + c.port);
        Boxes.clear();
        WriteSettings(c.host, c.port, "", "Taro", "taro@example.jp");
        Watch watch;
        Click(Form1->Button4);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_TRUE(Has(Boxes[0].Text, std::string(SettingsFileName) + " の " + c.line)) << Boxes[0].Text;
        EXPECT_TRUE(watch.status.empty()) << watch.status[0];
    }
    EXPECT_TRUE(Confirmations.empty());
}

TEST_F(FirstUseTest, EscClosesTheSmallWindowsAndUserIdSaysWhatItIs)
{
    for (QWidget* window : {static_cast<QWidget*>(Form2), static_cast<QWidget*>(Form3)}) {
        SCOPED_TRACE(window->objectName().toStdString());
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window, Qt::Key_Escape);
        EXPECT_TRUE(WaitUntil([&] { return !window->isVisible(); }, 5000));
    }
    EXPECT_TRUE(Has(Form3->Edit3->toolTip().toStdString(), "HELO"));
    EXPECT_TRUE(Has(Form3->Edit3->placeholderText().toStdString(), "空のまま"));
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(FirstUseTest, WithoutAFileManagerTheFolderIsNamedInABox)
{
    for (const bool opened : {true, false}) {
        Application().OpenFolderHook = [&](const std::string&) { return opened; };
        Application().OpenFolder("/home/taro/送信記録");
    }
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Has(Boxes[0].Text, "\n/home/taro/送信記録")) << Boxes[0].Text;
}

// Without the hook: xdg-open's exit status says whether a file manager took
// the folder (it starts even where none exists, and then fails).
TEST_F(FirstUseTest, TheFolderOpenerIsBelievedOnlyWhenItSucceeds)
{
    Application().OpenFolderHook = nullptr;
    const std::string bin = Scratch() + "/bin";
    std::filesystem::create_directory(bin);
    const std::string folder = Scratch() + "/送信 記録";
    const QByteArray path = qgetenv("PATH");
    struct TPathGuard {
        QByteArray path;
        ~TPathGuard() { qputenv("PATH", path); }
    } guard{path};
    qputenv("PATH", QByteArray::fromStdString(bin));
    struct Case {
        const char* opener;  // the script; nullptr: none on the PATH
        bool box;
    } cases[] = {
        {"#!/bin/sh\nprintf '%s' \"$1\" > \"$0.arg\"\nexit 0\n", false},
        // xdg-open's own code when the program it started failed.
        {"#!/bin/sh\nprintf '%s' \"$1\" > \"$0.arg\"\nexit 4\n", true},
        {"#!/bin/sh\nprintf '%s' \"$1\" > \"$0.arg\"\nkill -9 $$\n", true},
        {nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opener ? c.opener : "none");
        Boxes.clear();
        std::filesystem::remove(bin + "/xdg-open");
        std::filesystem::remove(bin + "/xdg-open.arg");
        if (c.opener) {
            WriteFile(bin + "/xdg-open", c.opener);
            std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
        }
        Application().OpenFolder(folder);
        if (c.opener) {
            EXPECT_EQ(ReadFile(bin + "/xdg-open.arg"), folder);
        }
        ASSERT_EQ(Boxes.size(), c.box ? 1u : 0u);
        if (c.box) {
            EXPECT_TRUE(Has(Boxes[0].Text, "\n" + folder)) << Boxes[0].Text;
        }
    }
}

}  // namespace
