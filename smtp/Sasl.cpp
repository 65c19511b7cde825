#include "smtp/Sasl.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>

namespace sasl {
namespace {

// RFC 4954: a command line of at most 512 octets with its CR LF; a longer
// initial response goes in the first round instead.
constexpr size_t kMaxCommandLine = 510;
// No mechanism we speak needs more rounds; a server that keeps challenging
// is not going to accept.
constexpr int kMaxRounds = 4;

class Plain final : public Mechanism {
public:
    explicit Plain(const Credentials& c) : response_(std::string(1, '\0') + c.Login + '\0' + c.Password) {}
    std::string Name() const override { return "PLAIN"; }
    std::optional<std::string> Initial() const override { return response_; }
    std::string Respond(const std::string&, int step) const override
    {
        if (step > 0)
            throw ESaslError("PLAIN への余分なチャレンジ");
        return response_;  // the server asked for it instead of taking it with the command
    }

private:
    std::string response_;
};

// The server asks "Username:" and then "Password:"; some word it otherwise,
// so the round, not the text, decides.
class Login final : public Mechanism {
public:
    explicit Login(const Credentials& c) : credentials_(c) {}
    std::string Name() const override { return "LOGIN"; }
    std::optional<std::string> Initial() const override { return std::nullopt; }
    std::string Respond(const std::string&, int step) const override
    {
        if (step == 0)
            return credentials_.Login;
        if (step == 1)
            return credentials_.Password;
        throw ESaslError("LOGIN への余分なチャレンジ");
    }

private:
    Credentials credentials_;
};

// RFC 7628's predecessor as Google and Microsoft speak it. A refused token
// comes back as a 334 challenge holding a JSON error, which the client must
// answer with an empty line; the server's final reply then is the refusal.
class XOAuth2 final : public Mechanism {
public:
    explicit XOAuth2(const Credentials& c)
        : response_("user=" + c.Login + "\x01" "auth=Bearer " + c.AccessToken + "\x01\x01")
    {
    }
    std::string Name() const override { return "XOAUTH2"; }
    std::optional<std::string> Initial() const override { return response_; }
    std::string Respond(const std::string& challenge, int step) const override
    {
        // An empty first challenge asks for the response that did not fit
        // into the command line.
        if (step == 0 && challenge.empty())
            return response_;
        if (step > 1)
            throw ESaslError("XOAUTH2 への余分なチャレンジ");
        return std::string();
    }

private:
    std::string response_;
};

struct Row {
    const char* name;
    bool (*usable)(const Credentials&);
    std::unique_ptr<Mechanism> (*make)(const Credentials&);
};

bool HasPassword(const Credentials& c) { return !c.Login.empty() && c.AccessToken.empty(); }
bool HasToken(const Credentials& c) { return !c.Login.empty() && !c.AccessToken.empty(); }

// Our preference, best first.
const Row kMechanisms[] = {
    {"XOAUTH2", HasToken, [](const Credentials& c) -> std::unique_ptr<Mechanism> { return std::make_unique<XOAuth2>(c); }},
    {"PLAIN", HasPassword, [](const Credentials& c) -> std::unique_ptr<Mechanism> { return std::make_unique<Plain>(c); }},
    {"LOGIN", HasPassword, [](const Credentials& c) -> std::unique_ptr<Mechanism> { return std::make_unique<Login>(c); }},
};

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::toupper(x) == std::toupper(y);
           });
}

std::string Explain(int code)
{
    switch (code) {
    case 535:
        return "ログイン名かパスワードが正しくありません。";
    case 534:
        return "サーバーがこのログイン方法を受け付けません（アプリ パスワードが必要な場合があります）。";
    case 538:
        return "サーバーは暗号化した接続でだけログインを受け付けます。";
    case 454:
        return "サーバー側の一時的な問題です。しばらくしてからもう一度送信してください。";
    case 504:
        return "サーバーがこのログイン方式に対応していません。";
    case 530:
        return "サーバーはログインを求めています。";
    default:
        return "サーバーがログインを拒否しました。";
    }
}

}  // namespace

std::unique_ptr<Mechanism> Choose(const std::vector<std::string>& offered, const Credentials& credentials)
{
    for (const Row& row : kMechanisms) {
        const bool isOffered = std::any_of(offered.begin(), offered.end(),
                                           [&row](const std::string& o) { return SameName(o, row.name); });
        if (isOffered && row.usable(credentials))
            return row.make(credentials);
    }
    return nullptr;
}

EAuthError::EAuthError(int code, std::string reply)
    : Exception("ログインできませんでした。\nサーバーの応答: " + reply + "\n" + Explain(code)),
      code_(code),
      reply_(std::move(reply))
{
}

void Authenticate(const Mechanism& mechanism, const Channel& channel)
{
    std::string command = "AUTH " + mechanism.Name();
    if (auto initial = mechanism.Initial()) {
        // "=" is an initial response of no bytes, which differs from none.
        std::string encoded = initial->empty() ? "=" : Base64Encode(*initial);
        if (command.size() + 1 + encoded.size() <= kMaxCommandLine)
            command += " " + encoded;
    }
    Step reply = channel(command);
    for (int round = 0; round < kMaxRounds; ++round) {
        if (reply.Code == 235)
            return;
        if (reply.Code != 334)
            throw EAuthError(reply.Code, reply.Line);
        std::string response;
        try {
            auto challenge = Base64Decode(reply.Text);
            if (!challenge)
                throw ESaslError("サーバーのチャレンジが base64 ではありません: " + reply.Line);
            response = mechanism.Respond(*challenge, round);
        } catch (const ESaslError&) {
            channel("*");  // the server waits for an answer: cancel rather than leave it hanging
            throw;
        }
        reply = channel(Base64Encode(response));
    }
    if (reply.Code == 235)
        return;
    if (reply.Code == 334)
        channel("*");
    throw ESaslError("ログインのやり取りが終わりません: " + reply.Line);
}

std::string Base64Encode(std::string_view bytes)
{
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64().toStdString();
}

std::optional<std::string> Base64Decode(std::string_view text)
{
    // Qt takes a lone trailing character as nothing; SASL's base 64 is padded.
    if (text.size() % 4 != 0)
        return std::nullopt;
    auto r = QByteArray::fromBase64Encoding(QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                                            QByteArray::AbortOnBase64DecodingErrors);
    if (!r)
        return std::nullopt;
    return r.decoded.toStdString();
}

}  // namespace sasl
