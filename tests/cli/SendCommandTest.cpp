// veltrow-send as cron runs it: a process of its own against aiosmtpd over
// STARTTLS with a login, the password through --password-fd, no secret
// store, output to pipes. One list goes through a certificate to trust, a
// SIGTERM in the middle of the run, a refused resume without an option, a
// resume with a refused entry, and then a list that all goes out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/journal/Journal.h"
#include "engine/list/OptOut.h"
#include "tests/support/Certificates.h"
#include "tests/support/OAuthServer.h"
#include "tests/support/SecretService.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

extern char** environ;

namespace {

using testsupport::SmtpSink;
using testsupport::TempFolder;
using testsupport::TestCertificates;

const std::string kLogin = "taro@example.jp";
const std::string kPassword = "kagi 0123";

struct TResult {
    int Exit = -1;  // -1: ended by a signal
    std::string Out, Err;
};

// The program's argument vector over All, which must outlive it.
std::vector<char*> Argv(std::vector<std::string>& All)
{
    std::vector<char*> argv;
    for (std::string& a : All)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs veltrow-send with Args; descriptor 3 reads Folder/password.txt and
// standard error goes to Folder/stderr.txt. WhileOut is shown standard
// output as it grows and may act on the child (its pid) once.
TResult RunSend(const std::vector<std::string>& Args, const std::string& Folder,
                const std::function<bool(const std::string& Out, pid_t Child)>& WhileOut = nullptr)
{
    const std::string errFile = Folder + "/stderr.txt", passwordFile = Folder + "/password.txt";
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 3, passwordFile.c_str(), O_RDONLY | O_CREAT, 0600);
    std::vector<std::string> all{VELTROW_SEND};
    all.insert(all.end(), Args.begin(), Args.end());
    const std::vector<char*> argv = Argv(all);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    TResult result;
    if (spawned != 0) {
        ::close(out[0]);
        ADD_FAILURE() << "cannot start " << VELTROW_SEND;
        return result;
    }
    // Until the child closes its output, which it does by ending.
    bool acted = !WhileOut;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        result.Out.append(buffer, static_cast<size_t>(n));
        if (!acted)
            acted = WhileOut(result.Out, child);
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.Err = testsupport::ReadWholeFile(errFile);
    return result;
}

bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

// Runs veltrow-send with a pseudo-terminal as its standard input, output
// and error; once the terminal shows Prompt, Typed is typed at it. Out is
// all the terminal showed, read until the child's side closes at its end.
TResult RunOnTerminal(const std::vector<std::string>& Args, const std::string& Prompt, const std::string& Typed)
{
    std::vector<std::string> all{VELTROW_SEND};
    all.insert(all.end(), Args.begin(), Args.end());
    const std::vector<char*> argv = Argv(all);
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    TResult result;
    if (child < 0) {
        ADD_FAILURE() << "no pseudo-terminal for " << VELTROW_SEND;
        return result;
    }
    bool typed = false;
    char buffer[4096];
    ssize_t n;
    // EIO once the child ended and its side of the terminal is closed.
    while ((n = ::read(terminal, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        result.Out.append(buffer, static_cast<size_t>(n));
        if (!typed && Has(result.Out, Prompt)) {
            typed = true;
            EXPECT_EQ(::write(terminal, Typed.data(), Typed.size()), static_cast<ssize_t>(Typed.size()));
        }
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class SendCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // No secret store answers: the password comes through --password-fd.
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + profile_.Path() + "/no-bus").c_str(), 1);
        // The program reads no setting from the environment but this.
        unsetenv("SSL_CERT_FILE");
        profile_.Write("password.txt", kPassword + "\nnot part of it\n");
    }

    void Settings(uint16_t Port, int PauseSeconds)
    {
        profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(Port) + "\r\nclient.example.jp\r\n送信係\r\n" +
                                       kLogin + "\r\nstarttls\r\n" + kLogin + "\r\nauto\r\n" +
                                       std::to_string(PauseSeconds) + "\r\npassword\r\n");
    }

    // STARTTLS with a certificate of an unknown issuer, the login taken,
    // entries with "refuse" in them refused.
    static SmtpSink::Options LoginServer()
    {
        SmtpSink::Options options = TestCertificates::Get().StartTls("unknown");
        options.Login = kLogin;
        options.Password = kPassword;
        options.RefuseRcpt = {"refuse"};
        return options;
    }

    TResult Send(std::vector<std::string> Args,
                 const std::function<bool(const std::string&, pid_t)>& WhileOut = nullptr)
    {
        Args.insert(Args.end(), {"--profile", profile_.Path(), "--password-fd", "3"});
        return RunSend(Args, profile_.Path(), WhileOut);
    }

    // The rows of the journal the run's summary names: "line|entry|outcome".
    static std::vector<std::string> Rows(const TResult& Run)
    {
        const std::string named = "送信記録: ";
        const size_t at = Run.Err.find(named);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no journal named: " << Run.Err;
            return {};
        }
        const size_t from = at + named.size();
        const std::string path = Run.Err.substr(from, Run.Err.find('\n', from) - from);
        std::vector<std::string> rows;
        for (const auto& r : ParseCsv(testsupport::ReadWholeFile(path)))
            if (r.size() >= 3 && r[0] != "行")
                rows.push_back(r[0] + "|" + r[1] + "|" + r[2]);
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    TempFolder profile_;
};

TEST_F(SendCommandTest, AListGoesOutAcrossAStopAndAResume)
{
    const TestCertificates& certificates = TestCertificates::Get();
    SmtpSink sink(LoginServer());
    // A pause long enough that the stop lands in it, after the first message.
    Settings(sink.Port(), 3600);
    const std::string list = profile_.Write("宛先.txt", "r1@example.jp\r\n拒否 <refuse@example.jp>\r\nr3@example.jp\r\nr4@example.jp\r\n");
    const std::string body = profile_.Write("本文.txt", "いつもお世話になっております。\r\n");
    const std::vector<std::string> send{"--to", list, "--subject", "お知らせ", "--body", body};

    // An unknown issuer: nothing goes out without --trust, which is named
    // with the certificate's fingerprint.
    const std::string fingerprint = certificates.Fingerprint("unknown");
    TResult untrusted = Send(send);
    EXPECT_EQ(untrusted.Exit, 2) << untrusted.Err;
    EXPECT_TRUE(Has(untrusted.Err, "--trust " + fingerprint)) << untrusted.Err;
    EXPECT_EQ(sink.MessageCount(), 0u);

    // SIGTERM once the first outcome is out: Abort, exit 3, the journal complete.
    std::vector<std::string> trusted = send;
    trusted.insert(trusted.end(), {"--trust", fingerprint});
    TResult stopped = Send(trusted, [](const std::string& Out, pid_t Child) {
        if (!Has(Out, "\n"))
            return false;
        ::kill(Child, SIGTERM);
        return true;
    });
    EXPECT_EQ(stopped.Exit, 3) << stopped.Err;
    EXPECT_TRUE(Has(stopped.Out, "1\tr1@example.jp\t送信済み\t250 ")) << stopped.Out;
    EXPECT_TRUE(Has(stopped.Err, "--resume")) << stopped.Err;
    EXPECT_EQ(Rows(stopped), (std::vector<std::string>{"1|r1@example.jp|送信済み", "2|拒否 <refuse@example.jp>|未送信",
                                                "3|r3@example.jp|未送信", "4|r4@example.jp|未送信"}));
    EXPECT_TRUE(Has(testsupport::ReadWholeFile(profile_.Path() + "/信頼する証明書.txt"), fingerprint));

    // Neither --resume nor --restart: the run stops before connecting.
    {
        testsupport::ScriptedPeer nobody;
        nobody.Accept().SendLine("554 no one expected").Close();
        nobody.Start();
        Settings(nobody.Port(), 0);
        TResult refused = Send(trusted);
        EXPECT_EQ(refused.Exit, 2) << refused.Err;
        EXPECT_TRUE(Has(refused.Err, "4 件中 1 件")) << refused.Err;
        EXPECT_TRUE(Has(refused.Err, "--resume")) << refused.Err;
        EXPECT_TRUE(Has(refused.Err, "--restart")) << refused.Err;
        // A rehearsal of starting afresh leaves the unfinished run to resume.
        std::vector<std::string> rehearsal = trusted;
        rehearsal.insert(rehearsal.end(), {"--restart", "--dry-run"});
        TResult rehearsed = Send(rehearsal);
        EXPECT_EQ(rehearsed.Exit, 0) << rehearsed.Err;
        EXPECT_EQ(nobody.Connections(), 0);
    }

    // --resume sends the rest; nobody gets the message twice, and the
    // refused entry makes it exit 1.
    Settings(sink.Port(), 0);
    trusted.push_back("--resume");
    TResult resumed = Send(trusted);
    EXPECT_EQ(resumed.Exit, 1) << resumed.Err;
    EXPECT_TRUE(Has(resumed.Out, "2\t拒否 <refuse@example.jp>\t拒否\t550 5.1.1 Recipient refused\n")) << resumed.Out;
    std::map<std::string, int> received;
    for (const auto& m : sink.Messages())
        for (const auto& to : m.RcptTos)
            ++received[to];
    EXPECT_EQ(received, (std::map<std::string, int>{{"r1@example.jp", 1}, {"r3@example.jp", 1}, {"r4@example.jp", 1}}));
    EXPECT_EQ(Rows(resumed), (std::vector<std::string>{"1|r1@example.jp|送信済み", "2|拒否 <refuse@example.jp>|拒否",
                                                "3|r3@example.jp|送信済み", "4|r4@example.jp|送信済み"}));
    EXPECT_EQ(FindUnfinishedRun(profile_.Path() + "/送信記録", {list, testsupport::ReadWholeFile(list), "お知らせ",
                                                                 "いつもお世話になっております。", ""}),
              std::nullopt);

    // A dry run composes and connects nowhere; then the list all goes: exit 0.
    const std::string good = profile_.Write("good.txt", "山田 太郎 <yamada@example.jp>\n");
    const std::vector<std::string> second{"--to", good, "--subject", "第二報", "--body", body, "--trust", fingerprint};
    std::vector<std::string> dry = second;
    dry.push_back("--dry-run");
    TResult rehearsed = Send(dry);
    EXPECT_EQ(rehearsed.Exit, 0) << rehearsed.Err;
    EXPECT_TRUE(Has(rehearsed.Out, "Subject: =?iso-2022-jp?B?")) << rehearsed.Out;
    EXPECT_TRUE(Has(rehearsed.Out, "<yamada@example.jp>")) << rehearsed.Out;
    EXPECT_TRUE(Has(rehearsed.Err, "1 通のメッセージを 1 件のアドレスに送信します。")) << rehearsed.Err;
    EXPECT_EQ(sink.MessageCount(), 3u);
    TResult all = Send(second);
    EXPECT_EQ(all.Exit, 0) << all.Err;
    ASSERT_TRUE(sink.WaitForMessages(4));
    EXPECT_EQ(sink.Message(3).RcptTos, std::vector<std::string>{"yamada@example.jp"});
    EXPECT_EQ(sink.Message(3).AuthLogin, kLogin);
}

// Run by hand at a terminal: no secret store and no --password-fd, so the
// password is asked without echo; the progress is one line redrawn in
// place, no line per outcome, and the summary follows below it.
TEST_F(SendCommandTest, AtATerminalThePasswordIsTypedUnseenAndOneLineShowsTheProgress)
{
    const TestCertificates& certificates = TestCertificates::Get();
    SmtpSink sink(LoginServer());
    Settings(sink.Port(), 0);
    const std::vector<std::string> args{
        "--to", profile_.Write("宛先.txt", "r1@example.jp\nrefuse@example.jp\nr3@example.jp\nr4@example.jp\n"),
        "--subject", "お知らせ", "--body", profile_.Write("本文.txt", "本文\n"), "--profile", profile_.Path(),
        "--trust", certificates.Fingerprint("unknown")};
    const std::string prompt = kLogin + "（127.0.0.1）のパスワード: ";
    const TResult run = RunOnTerminal(args, prompt, kPassword + "\n");

    EXPECT_EQ(run.Exit, 1) << run.Out;
    EXPECT_TRUE(Has(run.Out, prompt)) << run.Out;
    EXPECT_FALSE(Has(run.Out, kPassword)) << "echoed: " << run.Out;
    ASSERT_TRUE(sink.WaitForMessages(3)) << run.Out;
    EXPECT_EQ(sink.Message(0).AuthLogin, kLogin);
    EXPECT_FALSE(Has(run.Out, "\t送信済み\t")) << run.Out;

    // The redrawn line: each update back at the line's start, the old
    // rest cleared, and no line end from the first update to the last.
    std::vector<size_t> updates;
    for (size_t at = run.Out.find('\r'); at != std::string::npos; at = run.Out.find('\r', at + 1))
        if (at + 1 < run.Out.size() && std::isdigit(static_cast<unsigned char>(run.Out[at + 1])))
            updates.push_back(at);
    ASSERT_GE(updates.size(), 4u) << run.Out;
    const size_t lastEnd = run.Out.find("\x1b[K", updates.back());
    ASSERT_NE(lastEnd, std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find('\n', updates.front()), lastEnd + 4) << run.Out;
    const std::string last = run.Out.substr(updates.back() + 1, lastEnd - updates.back() - 1);
    EXPECT_TRUE(Has(last, "3/4 送信済み")) << last;
    EXPECT_TRUE(Has(last, "拒否 1 件")) << last;
    // Below it the summary, with the journal.
    EXPECT_EQ(run.Out.compare(lastEnd, 5, "\x1b[K\r\n"), 0) << run.Out;
    EXPECT_TRUE(Has(run.Out.substr(lastEnd), "送信済み 3 件")) << run.Out;
    EXPECT_TRUE(Has(run.Out.substr(lastEnd), "送信記録: ")) << run.Out;
}

// With an OAuth login and no sign-in kept, nothing connects and no browser
// opens by itself: the refusal names --sign-in. That signs in through the
// browser and keeps the token in the secret store, never in a file; the
// next send logs in with it.
TEST_F(SendCommandTest, AnOAuthLoginSignsInOnceThenSends)
{
    testsupport::PrivateSecretService service;
    const TestCertificates& certificates = TestCertificates::Get();
    certificates.TrustAuthority();
    testsupport::OAuthServer::Options o;
    o.ClientID = "cli-client";
    testsupport::OAuthServer oauth(o);
    SmtpSink::Options s = certificates.StartTls("valid");
    s.XOAuth2TokenFile = oauth.TokenFile();
    SmtpSink sink(s);
    setenv("VELTROW_OAUTH_AUTHORIZE_URL", oauth.AuthorizeUrl().c_str(), 1);
    setenv("VELTROW_OAUTH_TOKEN_URL", oauth.TokenUrl().c_str(), 1);
    setenv("BROWSER", testsupport::OAuthServer::Browser().c_str(), 1);
    setenv("VELTROW_TEST_BROWSER_LOG", oauth.BrowserLog().c_str(), 1);
    setenv("VELTROW_TEST_BROWSER", "", 1);
    profile_.Write("設定.txt", "localhost\r\n" + std::to_string(sink.Port()) + "\r\npc01.example.jp\r\nTaro\r\n" + kLogin +
                                   "\r\nstarttls\r\n" + kLogin + "\r\nauto\r\n0\r\noauth-microsoft\r\ncli-client\r\n\r\n");
    const std::vector<std::string> send{"--to", profile_.Write("list.txt", "a@example.jp\n"), "--subject", "s",
                                        "--body", profile_.Write("body.txt", "b\n")};

    TResult before = Send(send);
    EXPECT_EQ(before.Exit, 2) << before.Err;
    EXPECT_TRUE(Has(before.Err, "veltrow-send --sign-in")) << before.Err;
    EXPECT_FALSE(std::filesystem::exists(oauth.BrowserLog()));

    TResult signIn = RunSend({"--sign-in", "--profile", profile_.Path()}, profile_.Path());
    EXPECT_EQ(signIn.Exit, 0) << signIn.Err;
    EXPECT_TRUE(Has(testsupport::ReadWholeFile(oauth.BrowserLog()), "redirect 200")) << signIn.Err;

    TResult sent = Send(send);
    EXPECT_EQ(sent.Exit, 0) << sent.Err;
    ASSERT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(sink.Message(0).AuthLogin, kLogin);
    EXPECT_EQ(oauth.Count("authorize"), 1);
    const std::vector<std::string> secrets = oauth.Secrets();
    ASSERT_FALSE(secrets.empty());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(profile_.Path())) {
        if (!entry.is_regular_file())
            continue;
        for (const auto& secret : secrets)
            EXPECT_FALSE(Has(testsupport::ReadWholeFile(entry.path()), secret)) << entry.path();
    }
    for (const char* name : {"VELTROW_OAUTH_AUTHORIZE_URL", "VELTROW_OAUTH_TOKEN_URL", "BROWSER", "VELTROW_TEST_BROWSER_LOG",
                             "VELTROW_TEST_BROWSER"})
        unsetenv(name);
}

// A command line it cannot run: exit 2 and the refusal on standard error;
// and the program never loads the widgets, so it runs without a display.
TEST_F(SendCommandTest, OptOutAddsOneAddressToTheProfilesListAndSendsNothing)
{
    const struct {
        const char* address;
        int exit;
        const char* says;
    } cases[] = {
        {"Hanako@Example.JP", 0, "を 配信停止.txt に加えました"},
        {"Hanako@example.jp", 0, "は 配信停止.txt にすでにあります"},
        {"hanako at example.jp", 2, "はメールアドレスではありません"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const TResult run = RunSend({"--opt-out", c.address, "--profile", profile_.Path()}, profile_.Path());
        EXPECT_EQ(run.Exit, c.exit);
        EXPECT_TRUE(Has(run.Err, c.says)) << run.Err;
    }
    const TOptOutList list = TOptOutList::Load(profile_.Path());
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_TRUE(list.Contains("Hanako@example.jp"));
    EXPECT_FALSE(std::filesystem::exists(profile_.Path() + "/送信記録"));
}

TEST_F(SendCommandTest, ItRefusesBadOptionsAndNeedsNoWidgets)
{
    TResult bad = RunSend({"--to", "x", "--subjet", "s"}, profile_.Path());
    EXPECT_EQ(bad.Exit, 2);
    EXPECT_TRUE(Has(bad.Err, "知らないオプションです: --subjet")) << bad.Err;
    TResult help = RunSend({"--help"}, profile_.Path());
    EXPECT_EQ(help.Exit, 0);
    EXPECT_TRUE(Has(help.Out, "終了コード")) << help.Out;
    const testsupport::PythonResult libraries = testsupport::RunProgram({"/usr/bin/ldd", VELTROW_SEND});
    EXPECT_EQ(libraries.ExitCode, 0) << libraries.Output;
    EXPECT_TRUE(Has(libraries.Output, "libQt6Core")) << libraries.Output;
    EXPECT_FALSE(Has(libraries.Output, "libQt6Widgets")) << libraries.Output;
}

// A table list: empty fields need --allow-empty; one row's message can be
// shown (--dry-run --row) or sent as a test (--test-to), neither of which
// leaves a journal row.
TEST_F(SendCommandTest, AListWithEmptyFieldsNeedsAllowEmptyAndOneRowCanBeShownOrTested)
{
    SmtpSink sink;
    profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) + "\r\nclient.example.jp\r\n送信係\r\nself@example.jp\r\n");
    const std::string list = profile_.Write("宛先.csv", "メールアドレス,会社名\r\na@example.jp,アルファ\r\nb@example.jp,\r\n");
    const std::string body = profile_.Write("本文.txt", "{{会社名}} 御中\r\n");
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string err, out;
        size_t messages;  // at the sink afterwards
    };
    const Case cases[] = {
        {{}, 2, "1 行で {{会社名}} が空です。空のまま送るには --allow-empty を付けてください。", "", 0},
        {{"--dry-run", "--row", "3", "--allow-empty"}, 0, "どこにも接続していません", "To: b@example.jp", 0},
        {{"--test-to", "check@example.jp", "--row", "2"}, 0, "check@example.jp 宛てに送りました。サーバーの応答: 250", "", 1},
        {{"--allow-empty"}, 0, "送信記録: ", "", 3},
    };
    TResult last;
    for (const Case& c : cases) {
        std::vector<std::string> args{"--to", list, "--subject", "{{会社名}}へ", "--body", body};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.err);
        last = Send(args);
        EXPECT_EQ(last.Exit, c.exit) << last.Err;
        EXPECT_TRUE(Has(last.Err, c.err)) << last.Err;
        EXPECT_TRUE(Has(last.Out, c.out)) << last.Out;
        EXPECT_TRUE(sink.WaitForMessages(c.messages));
        EXPECT_EQ(sink.MessageCount(), c.messages);
    }
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>{"check@example.jp"});
    EXPECT_EQ(Rows(last), (std::vector<std::string>{"2|a@example.jp|送信済み", "3|b@example.jp|送信済み"}));
}

// A dry run composes as the run does: advertising mail's footer after the
// body, the unsubscribe headers with the row's URL, opted-out entries left
// out and counted.
TEST_F(SendCommandTest, ADryRunShowsTheFooterAndHeadersAndCountsOptedOutEntries)
{
    // Lines 6 to 13 empty; 14 the one-click URL, 15 advertising, 16 and 17.
    profile_.Write("設定.txt", "127.0.0.1\r\n2525\r\nclient.example.jp\r\nOkura\r\nself@example.jp\r\n"
                              "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nhttps://example.jp/stop?m={{メールアドレス}}\r\nyes\r\n"
                              "1-1 Chiyoda\r\n03-1234-5678\r\n");
    profile_.Write("フッター.txt", "{{送信者名}}, {{住所}}, {{問い合わせ先}}, 配信停止: {{配信停止先}}\n");
    profile_.Write(OptOutFileName, "stop@example.jp\n");
    const std::string list = profile_.Write("list.txt", "stop@example.jp\na@example.jp\nc@example.jp\n");
    const std::string body = profile_.Write("body.txt", "Hello\n");
    const std::vector<std::string> args{"--to", list, "--subject", "News", "--body", body, "--dry-run"};
    const TResult shown = Send(args);
    EXPECT_EQ(shown.Exit, 0) << shown.Err;
    for (const std::string& part : {std::string("\nList-Unsubscribe: <mailto:self@example.jp?subject="),
                                    std::string(">,\n <https://example.jp/stop?m=a%40example.jp>\n"),
                                    std::string("\nList-Unsubscribe-Post: List-Unsubscribe=One-Click\n"),
                                    std::string("\n\nHello\n\nOkura, 1-1 Chiyoda, 03-1234-5678, "),
                                    std::string(": https://example.jp/stop?m=a%40example.jp\n")})
        EXPECT_TRUE(Has(shown.Out, part)) << part << "\n" << shown.Out;
    EXPECT_TRUE(Has(shown.Err, "2 通のメッセージを 2 件のアドレスに送信します。")) << shown.Err;
    EXPECT_TRUE(Has(shown.Err, "配信停止 1 件")) << shown.Err;
    std::vector<std::string> opted = args;
    opted.insert(opted.end(), {"--row", "1"});
    const TResult refused = Send(opted);
    EXPECT_EQ(refused.Exit, 2) << refused.Err;
    EXPECT_TRUE(Has(refused.Err, "1 行目は送信しません（配信停止")) << refused.Err;
}

// A dry run checks before connecting what a run checks: the files on the
// command line and in the list's 添付ファイル column, and the footer in the
// chosen charset. The files of the message shown are listed as sent.
TEST_F(SendCommandTest, ADryRunChecksTheFilesAndTheFooterAsARunDoes)
{
    // Base64 lines of 60 characters and CR LF: 90 bytes take two, 45 one.
    const std::string guide = profile_.Write("案内.txt", std::string(90, 'a'));
    profile_.Write("地図.txt", std::string(45, 'b'));
    profile_.Write("フッター.txt", "{{送信者名}}, {{住所}}, {{問い合わせ先}}, 配信停止 {{配信停止先}} 🙂\n");
    const std::string plain = "127.0.0.1\r\n2525\r\nclient.example.jp\r\nOkura\r\nself@example.jp\r\n\r\n\r\niso-2022-jp\r\n";
    const std::string advertising = plain + "\r\n\r\n\r\n\r\n\r\nhttps://example.jp/stop\r\nyes\r\n1-1 Chiyoda\r\n03-1234-5678\r\n";
    const std::string table = "メールアドレス,添付ファイル\na@example.jp,\nb@example.jp,";
    struct Case {
        std::string settings, file, list, attach;
        int exit;
        std::string err;
        std::vector<std::string> out;
    };
    const Case cases[] = {
        {plain, "list.txt", "a@example.jp\n", profile_.Path() + "/ない.pdf", 2, "添付ファイル " + profile_.Path() + "/ない.pdf がありません", {}},
        {plain, "list.csv", table + "請求書.pdf\n", "", 2, "3 行目: 添付ファイル " + profile_.Path() + "/請求書.pdf がありません", {}},
        {plain, "list.csv", table + "地図.txt\n", guide, 0, "どこにも接続していません",
         {"To: b@example.jp\n", "Content-Type: multipart/mixed; boundary=",
          "\n添付ファイル: 案内.txt（text/plain、エンコード後 124 バイト）\n添付ファイル: 地図.txt（text/plain、エンコード後 62 バイト）\n"}},
        {advertising, "list.txt", "a@example.jp\n", "", 2, "宛先 1 行目のフッター 1 行目", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        profile_.Write("設定.txt", c.settings);
        std::vector<std::string> args{"--to", profile_.Write(c.file, c.list), "--subject", "News", "--body",
                                      profile_.Write("body.txt", "Hello\n"), "--dry-run"};
        if (!c.attach.empty())
            args.insert(args.end(), {"--attach", c.attach});
        if (c.exit == 0)
            args.insert(args.end(), {"--row", "3"});
        const TResult run = Send(args);
        EXPECT_EQ(run.Exit, c.exit) << run.Err;
        EXPECT_TRUE(Has(run.Err, c.err)) << run.Err;
        EXPECT_EQ(run.Out.empty(), c.out.empty()) << run.Out;
        for (const std::string& part : c.out)
            EXPECT_TRUE(Has(run.Out, part)) << part << "\n" << run.Out;
    }
}

// The body file, the subject and the list's entries as a reader sees them
// (Python's email package), or refused at the line that holds a zero byte;
// names a strict charset cannot carry are refused naming their characters.
TEST_F(SendCommandTest, TextFilesReachTheMessageAsWrittenOrAreRefusedAtTheirLine)
{
    std::string accents;
    for (int i = 0; i < 70; ++i)
        accents += "é";
    struct Case {
        const char* what;
        std::string subject, body, list, charset;
        int exit;
        // The one message a reader shows; empty subject: none goes out.
        std::string shownSubject, shownBody, toName, toAddress;
        std::string err;
        std::vector<std::string> out;
    };
    const Case cases[] = {
        {"an empty last line", "月例\t報告", "a\n\n", "山田 <a@example.jp>\n", "auto", 0, "月例 報告", "a\n\n", "山田",
         "a@example.jp", "", {}},
        {"no empty last line", "報告", "a\r\n", "a@example.jp\n", "auto", 0, "報告", "a\n", "", "a@example.jp", "", {}},
        {"a byte-order mark", "報告", "\xEF\xBB\xBF" "Ünïcödé\n" + accents + "\n", "a@example.jp\n", "auto", 0, "報告",
         "Ünïcödé\n" + accents + "\n", "", "a@example.jp", "", {}},
        {"a name in brackets of its own", "報告", "本文\n", "<山田> <yamada@example.jp>\n", "auto", 0, "報告", "本文\n",
         "<山田>", "yamada@example.jp", "", {}},
        {"a zero byte in the body", "報告", std::string("本文\n途中\0切れ\n最後\n", 28), "a@example.jp\n", "auto", 2, "",
         "", "", "", "本文.txt の 2 行目: NUL 文字 (0x00) があります", {}},
        {"NEC row 13 in names", "報告", "本文\n",
         "①山田 <a@example.jp>\nⅠ世 <b@example.jp>\n㈱山田 <c@example.jp>\n㌔ <d@example.jp>\n正 <e@example.jp>\n",
         "iso-2022-jp", 1, "報告", "本文\n", "正", "e@example.jp", "",
         {"1\t①山田 <a@example.jp>\t宛先不正\t名前を送れない文字があります（ISO-2022-JP で送れない機種依存文字があります: ① (U+2460)",
          "2\tⅠ世 <b@example.jp>\t宛先不正\t名前を送れない文字があります（ISO-2022-JP で送れない機種依存文字があります: Ⅰ (U+2160)", ": ㈱ (U+3231)", ": ㌔ (U+3314)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmtpSink sink;
        profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) +
                                       "\r\npc01\r\n送信係\r\nself@example.jp\r\nnone\r\n\r\n" + c.charset + "\r\n");
        const std::string list = profile_.Write("宛先.txt", c.list);
        const std::string body = profile_.Write("本文.txt", c.body);
        const TResult run = Send({"--to", list, "--subject", c.subject, "--body", body});
        EXPECT_EQ(run.Exit, c.exit) << run.Err << run.Out;
        EXPECT_TRUE(Has(run.Err, c.err)) << run.Err;
        for (const std::string& part : c.out)
            EXPECT_TRUE(Has(run.Out, part)) << part << "\n" << run.Out;
        if (c.shownSubject.empty()) {
            EXPECT_EQ(sink.MessageCount(), 0u);
            continue;
        }
        ASSERT_TRUE(sink.WaitForMessages(1));
        ASSERT_EQ(sink.MessageCount(), 1u);
        const testsupport::PythonResult read = testsupport::RunPython(
            testsupport::ReadWholeFile(VELTROW_SOURCE_DIR "/tests/app/read_mail.py"), {sink.Message(0).Path});
        ASSERT_EQ(read.ExitCode, 0) << read.Output;
        const QJsonObject shown =
            QJsonDocument::fromJson(QByteArray::fromStdString(read.Output)).array().first().toObject();
        const QJsonArray to = shown["to"].toArray().first().toArray();
        EXPECT_EQ(shown["subject"].toString().toStdString(), c.shownSubject);
        // An ISO-2022-JP body starts with a line end of its own.
        EXPECT_EQ(shown["body"].toString().toStdString(), (shown["charset"].toString() == "utf-8" ? "" : "\n") + c.shownBody);
        EXPECT_EQ(to[0].toString().toStdString(), c.toName);
        EXPECT_EQ(to[1].toString().toStdString(), c.toAddress);
    }
}

// Each row is checked before anything connects: a file outside the list's
// folder and a missing file each stop the run until their option is given;
// the rows without their files stay for --resume, which sends exactly them
// once the files are there; --unique sends one message per address.
TEST_F(SendCommandTest, RowsAreCheckedBeforeConnectingAndTheOptionsDecide)
{
    SmtpSink sink;
    profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) + "\r\nclient.example.jp\r\n送信係\r\nself@example.jp\r\n");
    std::filesystem::create_directories(profile_.Path() + "/リスト");
    profile_.Write("リスト/a.txt", "for a");
    const std::string folder = profile_.Path() + "/リスト/";
    const std::string list = profile_.Write("リスト/list.csv", "メールアドレス,添付ファイル\r\n"
                                                              "a@example.jp,a.txt\r\n"
                                                              "b@example.jp,b.txt\r\n"
                                                              "A@example.jp,\r\n"
                                                              "c@example.jp,/etc/hostname\r\n");
    const std::string body = profile_.Write("本文.txt", "本文\n");
    const std::string outside = "--allow-files-outside-list", skip = "--skip-missing-files";
    struct Case {
        std::vector<std::string> args;
        bool fileComes;  // b.txt is there from this run on
        int exit;
        std::vector<std::string> err;
        size_t messages;                // at the sink afterwards
        std::vector<std::string> rows;  // of the journal named; empty: none
    };
    const Case cases[] = {
        {{}, false, 2, {"5 行目: /etc/hostname → /etc/hostname", "--allow-files-outside-list を付けてください"}, 0, {}},
        {{outside}, false, 2,
         {"3 行目: 添付ファイル " + folder + "b.txt がありません", "ファイルを置いてから --resume で送れます",
          "--skip-missing-files を付けてください"},
         0, {}},
        {{outside, skip, "--dry-run"}, false, 0, {"A@example.jp: 2、4 行目", "--unique を付けると"}, 0, {}},
        {{outside, skip, "--unique"}, false, 1,
         {"--skip-missing-files のため", "--unique のため"},
         2,
         {"2|a@example.jp|送信済み", "3|b@example.jp|未送信", "4|A@example.jp|重複", "5|c@example.jp|送信済み"}},
        {{outside, "--unique", "--resume"}, true, 0, {"続きから送信します（--resume）"}, 3,
         {"2|a@example.jp|送信済み", "3|b@example.jp|送信済み", "4|A@example.jp|重複", "5|c@example.jp|送信済み"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err.front());
        if (c.fileComes)
            profile_.Write("リスト/b.txt", "for b");
        std::vector<std::string> args{"--to", list, "--subject", "件名", "--body", body};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TResult run = Send(args);
        EXPECT_EQ(run.Exit, c.exit) << run.Err;
        for (const std::string& part : c.err)
            EXPECT_TRUE(Has(run.Err, part)) << part << "\n" << run.Err;
        EXPECT_TRUE(sink.WaitForMessages(c.messages));
        EXPECT_EQ(sink.MessageCount(), c.messages);
        if (!c.rows.empty()) {
            EXPECT_EQ(Rows(run), c.rows);
        }
    }
    ASSERT_EQ(sink.MessageCount(), 3u);
    EXPECT_EQ(sink.Message(2).RcptTos, std::vector<std::string>{"b@example.jp"});
}

// A cell too long for the header it is merged into stops no run: its row is
// named and skipped as 宛先不正, the others go.
TEST_F(SendCommandTest, ARowWhoseMergedUrlIsTooLongIsSkippedAndNamed)
{
    SmtpSink sink;
    profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) +
                                   "\r\nclient.example.jp\r\nOkura\r\nself@example.jp\r\n"
                                   "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nhttps://example.jp/stop?c={{コード}}\r\nyes\r\n"
                                   "1-1 Chiyoda\r\n03-1234-5678\r\n");
    const std::string list = profile_.Write("list.csv", "メールアドレス,コード\r\na@example.jp,1\r\nb@example.jp," +
                                                            std::string(1200, '7') + "\r\nc@example.jp,3\r\n");
    const TResult run = Send({"--to", list, "--subject", "News", "--body", profile_.Write("body.txt", "Hello\n")});
    EXPECT_EQ(run.Exit, 1) << run.Err;
    EXPECT_TRUE(Has(run.Err, "3 行目: この行の値を差し込んだ配信停止の URL が長すぎて")) << run.Err;
    EXPECT_FALSE(Has(run.Err, "設定の配信停止URL")) << run.Err;
    ASSERT_TRUE(sink.WaitForMessages(2));
    EXPECT_EQ(Rows(run), (std::vector<std::string>{"2|a@example.jp|送信済み", "3|b@example.jp|宛先不正",
                                                   "4|c@example.jp|送信済み"}));
}

}  // namespace
