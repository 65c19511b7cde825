#include "app/ErrorWords.h"

#include <cctype>
#include <cstdlib>

namespace {

struct Words {
    const char* text;
    const char* explanation;
};

constexpr const char* kCheckServer = "設定の SMTPサーバ とポートを確認してください。";

// Every text of the socket layer and the SMTP component a run can raise.
const Words kExact[] = {
    {"Already connected", "前回の接続が残っています。「中断する」を押してから送信してください。"},
    {"Null Remote Address", "サーバー名が見つかりません。設定を確認してください。"},
    {"Incomplete Header", "送信者のメールアドレスが設定されていません。「設　　定」でメールアドレスを入力してください。"},
    {"Authentication failed", "サーバーがユーザーID を受け付けませんでした。設定のユーザーID を確認してください。"},
    {"Connection Failed", "サーバーに接続できませんでした。設定の SMTPサーバ とポートを確認してください。"},
    {"Connection Timed out", "サーバーが応答しません。時間をおいてもう一度送信してください。"},
    {"Reply Timed out", "サーバーの応答が決まった時間内に来ませんでした。時間をおいてもう一度送信してください。"},
    {"Connection Canceled", "接続を取りやめました。"},
    {"Host Lookup Failed", "サーバー名が見つかりません。設定を確認してください。"},
    {"Host Lookup Timed Out", "サーバー名を調べる間に時間切れになりました。ネットワークの接続を確認してください。"},
    {"Host Lookup Canceled", "サーバー名を調べるのを取りやめました。"},
    {"Not Connected", "サーバーとの接続が切れています。もう一度送信してください。"},
    {"Connection closed by server", "サーバーが接続を切りました。時間をおいてもう一度送信してください。"},
    {"Socket readln aborted", "送信を中断しました。"},
    {"Socket send aborted", "送信を中断しました。"},
    {"Socket capture aborted", "送信を中断しました。"},
    {"Socket TLS handshake aborted", "暗号化の開始を中断しました。"},
    {"Initializaton of windows sockets failed", "ネットワーク機能を使い始められませんでした。"},
    {"No Timer", "タイマーを使えませんでした。ほかのプログラムを閉じてからもう一度試してください。"},
};

// Socket errors arrive as their number, a colon and the English text.
struct NumberWords {
    long first;
    long last;
    const char* explanation;
};
const NumberWords kSocketErrors[] = {
    {10061, 10061, "サーバーが接続を断りました。設定の SMTPサーバ とポートを確認してください。"},
    {10060, 10060, "サーバーが応答しません。時間をおいてもう一度送信してください。"},
    {10052, 10054, "サーバーとの接続が切れました。時間をおいてもう一度送信してください。"},
    {10050, 10051, "ネットワークにつながっていません。ネットワークの接続を確認してください。"},
    {10064, 10065, "サーバーに届きません。ネットワークの接続とサーバー名を確認してください。"},
    {11001, 11004, "サーバー名が見つかりません。設定を確認してください。"},
};
constexpr const char* kOtherSocketError = "ネットワークのエラーが起きました。ネットワークの接続を確認してください。";

// The reply without its line end.
std::string Trimmed(const std::string& text)
{
    const size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "550 No such user", "451-..." : a reply line of the server.
bool IsReplyLine(const std::string& text)
{
    return text.size() >= 4 && text[0] >= '2' && text[0] <= '5' && std::isdigit(static_cast<unsigned char>(text[1]))
           && std::isdigit(static_cast<unsigned char>(text[2])) && (text[3] == ' ' || text[3] == '-');
}

std::string ExplainSocketError(const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon != 5)
        return {};
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + colon)
        return {};
    for (const NumberWords& w : kSocketErrors)
        if (number >= w.first && number <= w.last)
            return w.explanation;
    return kOtherSocketError;
}

}  // namespace

std::string ExplainError(const std::string& Text)
{
    for (const Words& w : kExact)
        if (Text == w.text)
            return w.explanation;
    if (IsReplyLine(Text)) {
        // A temporary refusal (4xx) may pass later; a lasting one (5xx) needs a change.
        return std::string("サーバーが受け付けませんでした: ") + Trimmed(Text)
               + (Text[0] == '4' ? "\n時間をおいてもう一度送信してください。" : "\n宛先と設定を確認してください。");
    }
    // The server's reply follows these on the lines after.
    if (StartsWith(Text, "Authentication failed\n"))
        return ExplainError("Authentication failed");
    if (StartsWith(Text, "Reply without a valid code"))
        return "サーバーの応答が SMTP の形になっていませんでした。" + std::string(kCheckServer);
    if (StartsWith(Text, "Line too long") || StartsWith(Text, "Reply too long"))
        return "サーバーの応答が長すぎて読めませんでした。" + std::string(kCheckServer);
    if (StartsWith(Text, "Unknown Error No. "))
        return kOtherSocketError;
    return ExplainSocketError(Text);
}

std::string ErrorBoxText(const std::string& Text)
{
    const std::string explanation = ExplainError(Text);
    if (explanation.empty())
        return Text;
    if (explanation.find(Trimmed(Text)) != std::string::npos)
        return explanation;
    return explanation + "\n\n" + Text;
}
