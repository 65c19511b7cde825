// SMTP AUTH without a socket: the mechanism choice, the exchange against
// scripted replies, and the EHLO keywords it starts from. Expected base 64
// texts were made with the base64 command.

#include <gtest/gtest.h>

#include <deque>

#include "smtp/Extensions.h"
#include "smtp/Sasl.h"

namespace {

const sasl::Credentials kTaro{"taro", "secret"};

// A channel that answers each command with the next scripted reply line and
// records what it was sent.
struct ScriptedChannel {
    std::deque<std::string> replies;
    std::vector<std::string> sent;

    sasl::Step operator()(const std::string& line)
    {
        sent.push_back(line);
        sasl::Step s;
        if (replies.empty()) {
            s.Line = "(no reply scripted)";
            return s;
        }
        s.Line = replies.front();
        replies.pop_front();
        s.Code = std::stoi(s.Line.substr(0, 3));
        s.Text = s.Line.size() > 4 ? s.Line.substr(4) : "";
        return s;
    }
};

TEST(SaslChoose, PlainBeforeLoginAmongWhatTheServerOffers)
{
    struct Case {
        std::vector<std::string> offered;
        sasl::Credentials credentials;
        const char* chosen;  // nullptr: none
    };
    const Case cases[] = {
        {{"LOGIN", "PLAIN"}, kTaro, "PLAIN"},
        {{"CRAM-MD5", "LOGIN"}, kTaro, "LOGIN"},
        {{"plain"}, kTaro, "PLAIN"},  // names are case-insensitive
        {{"CRAM-MD5", "XOAUTH2"}, kTaro, nullptr},
        {{}, kTaro, nullptr},
        {{"PLAIN", "LOGIN"}, {"", "secret"}, nullptr},  // no login name, no login
    };
    for (const auto& c : cases) {
        auto m = sasl::Choose(c.offered, c.credentials);
        EXPECT_EQ(m ? m->Name() : "(none)", c.chosen ? c.chosen : "(none)");
    }
}

TEST(SaslAuthenticate, ExchangesAsScripted)
{
    const std::string longLogin(400, 'x');
    struct Case {
        const char* name;
        const char* mechanism;
        sasl::Credentials credentials;
        std::vector<std::string> replies;
        std::vector<std::string> sent;
        int refusedWith;  // 0: accepted, -1: our side gave up (ESaslError)
    };
    const Case cases[] = {
        {"plain", "PLAIN", kTaro, {"235 2.7.0 ok"}, {"AUTH PLAIN AHRhcm8Ac2VjcmV0"}, 0},
        {"plain utf-8 password", "PLAIN", {"taro", "パスワード"}, {"235 ok"},
         {"AUTH PLAIN AHRhcm8A44OR44K544Ov44O844OJ"}, 0},
        {"plain asked again", "PLAIN", kTaro, {"334 ", "235 ok"},
         {"AUTH PLAIN AHRhcm8Ac2VjcmV0", "AHRhcm8Ac2VjcmV0"}, 0},
        {"login", "LOGIN", kTaro, {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok"},
         {"AUTH LOGIN", "dGFybw==", "c2VjcmV0"}, 0},
        {"wrong password", "PLAIN", kTaro, {"535 5.7.8 Authentication credentials invalid"},
         {"AUTH PLAIN AHRhcm8Ac2VjcmV0"}, 535},
        {"refused after the password", "LOGIN", kTaro, {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "535 no"},
         {"AUTH LOGIN", "dGFybw==", "c2VjcmV0"}, 535},
        {"encryption required", "PLAIN", kTaro, {"538 5.7.11 Encryption required"}, {"AUTH PLAIN AHRhcm8Ac2VjcmV0"},
         538},
        {"a third challenge is cancelled", "LOGIN", kTaro, {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "334 QWdhaW4/", "501 cancelled"},
         {"AUTH LOGIN", "dGFybw==", "c2VjcmV0", "*"}, -1},
        {"a challenge not in base 64 is cancelled", "LOGIN", kTaro, {"334 U#==", "501 cancelled"},
         {"AUTH LOGIN", "*"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = sasl::Choose({c.mechanism}, c.credentials);
        ASSERT_NE(m, nullptr);
        ScriptedChannel channel{{c.replies.begin(), c.replies.end()}, {}};
        int refused = 0;
        try {
            sasl::Authenticate(*m, std::ref(channel));
        } catch (const sasl::EAuthError& e) {
            refused = e.Code();
            EXPECT_NE(e.Message().find(c.replies.back()), std::string::npos) << e.Message();
            EXPECT_EQ(e.Message().find(c.credentials.Password), std::string::npos) << "password shown";
        } catch (const sasl::ESaslError&) {
            refused = -1;
        }
        EXPECT_EQ(refused, c.refusedWith);
        EXPECT_EQ(channel.sent, c.sent);
        EXPECT_TRUE(channel.replies.empty()) << channel.replies.size() << " replies left";
    }
    // An initial response that would make the command line too long waits
    // for the server's empty challenge instead.
    ScriptedChannel channel{{"334 ", "235 ok"}, {}};
    sasl::Authenticate(*sasl::Choose({"PLAIN"}, {longLogin, "pw"}), std::ref(channel));
    ASSERT_EQ(channel.sent.size(), 2u);
    EXPECT_EQ(channel.sent[0], "AUTH PLAIN");
    EXPECT_EQ(sasl::Base64Decode(channel.sent[1]), std::string(1, '\0') + longLogin + '\0' + "pw");
}

TEST(SaslXOAuth2, BearerTokenAndTheJsonChallenge)
{
    const sasl::Credentials taro{"taro@example.jp", "", "ya29.tok"};
    const sasl::Credentials longToken{"taro@example.jp", "", std::string(1500, 't')};
    auto response = [](const sasl::Credentials& c) {
        return sasl::Base64Encode("user=" + c.Login + "\x01" + "auth=Bearer " + c.AccessToken + "\x01\x01");
    };
    EXPECT_EQ(sasl::Choose({"PLAIN", "XOAUTH2"}, taro)->Name(), "XOAUTH2");
    EXPECT_EQ(sasl::Choose({"PLAIN", "LOGIN"}, taro), nullptr);  // a token never falls back to a password
    EXPECT_EQ(sasl::Choose({"XOAUTH2"}, kTaro), nullptr);
    const std::string json = sasl::Base64Encode(R"({"status":"401","schemes":"bearer"})");
    struct Case {
        const char* name;
        sasl::Credentials credentials;
        std::vector<std::string> replies;
        std::vector<std::string> sent;
        int refusedWith;
    };
    const Case cases[] = {
        {"accepted", taro, {"235 2.7.0 Accepted"}, {"AUTH XOAUTH2 " + response(taro)}, 0},
        {"json challenge answered empty", taro, {"334 " + json, "535 5.7.8 Username and Password not accepted"},
         {"AUTH XOAUTH2 " + response(taro), ""}, 535},
        {"too long for the command", longToken, {"334 ", "235 ok"}, {"AUTH XOAUTH2", response(longToken)}, 0},
        {"too long, then the json", longToken, {"334 ", "334 " + json, "535 no"},
         {"AUTH XOAUTH2", response(longToken), ""}, 535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedChannel channel{{c.replies.begin(), c.replies.end()}, {}};
        int refused = 0;
        try {
            sasl::Authenticate(*sasl::Choose({"XOAUTH2"}, c.credentials), std::ref(channel));
        } catch (const sasl::EAuthError& e) {
            refused = e.Code();
            EXPECT_EQ(e.Message().find(c.credentials.AccessToken), std::string::npos) << "token shown";
        }
        EXPECT_EQ(refused, c.refusedWith);
        EXPECT_EQ(channel.sent, c.sent);
    }
}

TEST(SaslAuthenticate, RefusalsExplainThemselvesInJapanese)
{
    const std::pair<int, const char*> cases[] = {
        {535, "ログイン名かパスワードが正しくありません"},
        {534, "アプリ パスワード"},
        {538, "暗号化"},
        {454, "一時的"},
        {550, "拒否"},
    };
    for (const auto& [code, text] : cases) {
        sasl::EAuthError e(code, std::to_string(code) + " reply text");
        EXPECT_NE(e.Message().find(text), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find(std::to_string(code) + " reply text"), std::string::npos) << e.Message();
    }
}

TEST(SaslBase64, Rfc4648VectorsAndStrictDecoding)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\0\xff", 2), "AP8="},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(sasl::Base64Encode(plain), encoded);
        EXPECT_EQ(sasl::Base64Decode(encoded), plain) << encoded;
    }
    for (const char* bad : {"Zg=", "Z", "Zm9v!", "Zg==Zg=="})
        EXPECT_EQ(sasl::Base64Decode(bad), std::nullopt) << bad;
}

TEST(EhloExtensions, KeywordsAndParameters)
{
    const auto e = TEhloExtensions::Parse({
        "250-mail.example.jp Hello [192.0.2.1]",
        "250-SIZE 35882577",
        "250-starttls",
        "250-AUTH LOGIN PLAIN XOAUTH2",
        "250-AUTH=CRAM-MD5",
        "250 8BITMIME",
    });
    struct Case {
        const char* keyword;
        bool has;
        std::vector<std::string> params;
    };
    const Case cases[] = {
        {"STARTTLS", true, {}},
        {"Auth", true, {"LOGIN", "PLAIN", "XOAUTH2", "CRAM-MD5"}},
        {"SIZE", true, {"35882577"}},
        {"8BITMIME", true, {}},
        {"mail.example.jp", false, {}},  // the server's name is no keyword
        {"PIPELINING", false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(e.Has(c.keyword), c.has) << c.keyword;
        EXPECT_EQ(e.Parameters(c.keyword), c.params) << c.keyword;
    }
    // Lines already without their codes read the same.
    EXPECT_TRUE(TEhloExtensions::Parse({"mail.example.jp", "STARTTLS"}).Has("STARTTLS"));
    EXPECT_FALSE(TEhloExtensions::Parse({"250 mail.example.jp STARTTLS"}).Has("STARTTLS"));
}

}  // namespace
