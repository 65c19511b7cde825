// The command line: what it accepts, and the Japanese refusal of every
// kind of mistake, naming the option.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>

#include "cli/Options.h"
#include "rtl/Version.h"

namespace {

using Args = std::vector<std::string>;
const Args Send{"--to", "list.txt", "--subject", "件名", "--body", "body.txt"};

Args With(Args More)
{
    Args all = Send;
    all.insert(all.end(), More.begin(), More.end());
    return all;
}

TEST(OptionsTest, EachMistakeIsRefusedNamingIt)
{
    const struct {
        Args Line;
        std::string Says;
    } cases[] = {
        {{"--to", "list.txt", "--body", "body.txt"}, "--subject を指定してください"},
        {{}, "--to、--subject、--body を指定してください"},
        {With({"--bcc", "x"}), "知らないオプションです: --bcc"},
        {With({"extra"}), "オプションではない引数があります: extra"},
        {{"--to", "list.txt", "--subject", "件名", "--body"}, "--body のあとに本文のファイルを指定してください"},
        {With({"--dry-run=yes"}), "--dry-run は値をとりません"},
        {With({"--to", "other.txt"}), "--to が 2 回指定されています"},
        {With({"--resume", "--restart"}), "--resume と --restart は一緒に指定できません"},
        {With({"--trust", "AB:CD"}), "--trust には証明書の SHA-256 フィンガープリント"},
        {With({"--trust", std::string(63, 'a') + "g"}), "--trust には"},
        {With({"--password-fd", "-1"}), "--password-fd にはファイル記述子の番号"},
        {With({"--password-fd", "3x"}), "--password-fd には"},
        {{"--to", "list.txt", "--subject", "\x8c\x8f", "--body", "b"}, "--subject のタイトルが UTF-8 ではありません"},
        {{"--to", "l", "--subject", "s\r\nBcc: x@example.jp", "--body", "b"}, "改行や制御文字は使えません"},
        {{"--to=", "--subject", "s", "--body", "b"}, "--to のファイル名が空です"},
        {{"--sign-in", "--to", "list.txt"}, "--sign-in と一緒に指定できるのは --profile だけです: --to"},
        {{"--opt-out", "a@example.jp", "--dry-run"}, "--opt-out と一緒に指定できるのは --profile だけです: --dry-run"},
        {{"--opt-out"}, "--opt-out のあとにメールアドレスを指定してください"},
    };
    for (const auto& c : cases) {
        try {
            ParseSendOptions(c.Line);
            ADD_FAILURE() << "accepted: " << ::testing::PrintToString(c.Line);
        } catch (const EUsageError& e) {
            EXPECT_NE(e.Message().find(c.Says), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("veltrow-send --help"), std::string::npos) << e.Message();
        }
    }
}

TEST(OptionsTest, AcceptedLinesGiveTheirValues)
{
    const std::string hex = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
    const TSendOptions o = ParseSendOptions(
        {"--to=a b.txt", "--subject", "--resume", "--body", "本文.txt", "--profile", "/p", "--restart", "--trust", hex,
         "--password-fd=0", "--dry-run"});
    EXPECT_EQ(o.To, "a b.txt");
    // A value is taken as it stands, even when it looks like an option.
    EXPECT_EQ(o.Subject, "--resume");
    EXPECT_EQ(o.Resume, rmRestart);
    EXPECT_EQ(o.PasswordFd, 0);
    EXPECT_EQ(o.Trust, "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF");
    EXPECT_EQ(NormalizeFingerprint(o.Trust), o.Trust);
    EXPECT_EQ(ParseSendOptions(Send).Resume, rmAsk);
    EXPECT_TRUE(ParseSendOptions({"--sign-in", "--profile", "/p"}).SignIn);
    EXPECT_EQ(ParseSendOptions({"--opt-out=a@example.jp", "--profile", "/p"}).OptOut, "a@example.jp");
    EXPECT_TRUE(ParseSendOptions(With({"--strict-domain"})).StrictDomain);
    // The one option that may come again: each file is one more attachment.
    EXPECT_EQ(ParseSendOptions(With({"--attach", "a.pdf", "--attach=地図.png"})).Attach,
              (std::vector<std::string>{"a.pdf", "地図.png"}));
    // Help and the version need nothing else.
    EXPECT_TRUE(ParseSendOptions({"-h", "--to", "x"}).Help);
    EXPECT_TRUE(ParseSendOptions({"--version"}).Version);
}

}  // namespace

// The manual pages and the changelog go with the program: the page lists
// exactly the options the help names, and both carry this version.
TEST(OptionsTest, TheManualPageAndTheChangelogMatchTheProgram)
{
    auto read = [](const char* name) {
        std::ifstream in(std::string(VELTROW_SOURCE_DIR) + "/packaging/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto options = [](const std::string& text) {
        static const std::regex option("--[a-z][a-z-]*[a-z]");
        std::set<std::string> found;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
            found.insert(it->str());
        return found;
    };
    std::string page = read("veltrow-send.1");
    ASSERT_FALSE(page.empty());
    // troff writes a minus as "\-".
    for (size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at))
        page.erase(at, 1);
    EXPECT_EQ(options(page), options(HelpText()));
    for (const char* name : {"veltrow-send.1", "veltrow.1"})
        EXPECT_NE(read(name).find(std::string("\"Veltrow ") + VeltrowVersion + "\""), std::string::npos) << name;
    EXPECT_EQ(read("changelog").rfind(std::string("veltrow (") + VeltrowVersion + ") ", 0), 0u);
}
