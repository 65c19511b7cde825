#include "engine/run/ErrorWords.h"

#include <cctype>
#include <cstdlib>

#include "rtl/SysUtils.h"

namespace {

struct Words {
    const char* text;
    const char* explanation;
};

constexpr const char* kCheckServer = "「設定」の SMTPサーバー とポートを確認してください。";
// Faults inside the program itself, not of the network or the settings.
constexpr const char* kInternal = "プログラムの中でデータの読み書きに失敗しました。もう一度送信してください。";

// Every text of the socket layer and the SMTP component a run can raise.
const Words kExact[] = {
    {"Already connected", "まだ送信中です。送信が終わるのを待つか、「中断する」を押してから送信してください。"},
    {"Null Remote Address", "サーバー名が空か、見つかりません。「設定」の SMTPサーバー を確認してください。"},
    {"Incomplete Header", "送信者のメールアドレスが設定されていません。「設定」でメールアドレスを入力してください。"},
    {"Connection Failed", "サーバーに接続できませんでした。「設定」の SMTPサーバー とポートを確認してください。"},
    {"Connection Timed out", "サーバーが応答しません。時間をおいてもう一度送信してください。"},
    {"Reply Timed out", "サーバーの応答が決まった時間内に来ませんでした。時間をおいてもう一度送信してください。"},
    {"Connection Canceled", "接続を取りやめました。"},
    {"Host Lookup Failed", "サーバー名が見つかりません。「設定」の SMTPサーバー を確認してください。"},
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
    {"Seek error", kInternal},
    {"Stream size cannot be changed", kInternal},
    {"PutBack overflow", kInternal},
    // The listening server's texts; the send run has no use for one.
    {"Accepting Canceled", "接続の受け付けを取りやめました。"},
    {"Error creating Data Connection", "データ用の接続を作れませんでした。"},
    {"no notification window", "ネットワークの通知を受け取れませんでした。"},
    {"no socket", "ネットワークの通知を受け取れませんでした。"},
    {"not a server component", "接続を受け付ける準備ができていません。"},
};

// The first line of these texts is fixed; the server's reply follows it on
// the lines after, which the explanation quotes instead of the English words.
constexpr const char* kHeloRefused = "Authentication failed\n";

// Socket errors arrive as their number, a colon and the English text.
struct NumberWords {
    long first;
    long last;
    const char* explanation;
};
const NumberWords kSocketErrors[] = {
    {10061, 10061, "サーバーが接続を断りました。「設定」の SMTPサーバー とポートを確認してください。"},
    {10060, 10060, "サーバーが応答しません。時間をおいてもう一度送信してください。"},
    {10052, 10054, "サーバーとの接続が切れました。時間をおいてもう一度送信してください。"},
    {10050, 10051, "ネットワークにつながっていません。ネットワークの接続を確認してください。"},
    {10064, 10065, "サーバーに届きません。ネットワークの接続とサーバー名を確認してください。"},
    {11001, 11004, "サーバー名が見つかりません。「設定」の SMTPサーバー を確認してください。"},
};
constexpr const char* kOtherSocketError = "ネットワークのエラーが起きました。ネットワークの接続を確認してください。";

// With the server known, a connection that failed names it.
enum TServerFault { sfNone, sfRefused, sfNoAnswer, sfNoName };

TServerFault ServerFault(const std::string& Text)
{
    if (Text == "Connection Failed" || Text.rfind("10061:", 0) == 0)
        return sfRefused;
    if (Text == "Connection Timed out" || Text.rfind("10060:", 0) == 0)
        return sfNoAnswer;
    if (Text == "Host Lookup Failed" || Text == "Null Remote Address")
        return sfNoName;
    for (const char* code : {"11001:", "11002:", "11003:", "11004:"})
        if (Text.rfind(code, 0) == 0)
            return sfNoName;
    return sfNone;
}

std::string ExplainServerFault(TServerFault Fault, const std::string& Server)
{
    switch (Fault) {
    case sfRefused:
        return "サーバー " + Server + " に接続できませんでした。「設定」の「SMTPサーバ」と「ポート」が正しいか、"
               "サーバーが動いているか、ファイアウォールに止められていないかを確認してください。";
    case sfNoAnswer:
        return "サーバー " + Server + " が応答しません。「設定」の「SMTPサーバ」と「ポート」、ネットワークの接続を"
               "確認し、時間をおいてもう一度送信してください。";
    case sfNoName:
        return "サーバー名 " + Server.substr(0, Server.rfind(':')) + " が見つかりません。「設定」の「SMTPサーバ」の"
               "綴りとネットワークの接続を確認してください。";
    case sfNone:
        break;
    }
    return {};
}

// A refused login: the sentence the login gives for the reply's code, and
// the fields of the Settings window to mend.
constexpr const char* kLoginRefused = "ログインできませんでした。";
const Words kLoginFields[] = {
    {"ログイン名かパスワードが正しくありません", "「設定」の「ログイン名」と「パスワード」を確かめて「設  定」で保存し、もう一度送信してください。"},
    {"アプリ パスワード", "「設定」の「パスワード」にアプリ パスワードを入れて「設  定」で保存し、もう一度送信してください。"},
    {"暗号化した接続", "「設定」の「暗号化」で STARTTLS か SSL/TLS を選んでください。"},
    {"ログイン方式", "「設定」の「ログイン方式」を確認してください。"},
    {"一時的", ""},
    {"", "「設定」の「ログイン名」と「パスワード」を確認してください。"},
};

bool IsAscii(const std::string& Text)
{
    for (unsigned char c : Text)
        if (c >= 0x80)
            return false;
    return true;
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

std::string ServerText(const std::string& Host, const std::string& Port)
{
    const std::string host = Trim(Host);
    if (host.empty())
        return {};
    const std::string port = Trim(Port).empty() ? "25" : Trim(Port);
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

std::string ExplainError(const std::string& Text, const std::string& Server)
{
    if (const TServerFault fault = ServerFault(Text); fault != sfNone && !Server.empty())
        return ExplainServerFault(fault, Server);
    if (StartsWith(Text, kLoginRefused)) {
        // The text quotes the reply already; the fields follow it.
        for (const Words& w : kLoginFields)
            if (Text.find(w.text) != std::string::npos)
                return WithoutLineEnd(Text).append(*w.explanation ? "\n" : "").append(w.explanation);
    }
    for (const Words& w : kExact)
        if (Text == w.text)
            return w.explanation;
    if (IsReplyLine(Text)) {
        // A temporary refusal (4xx) may pass later; a lasting one (5xx) needs a change.
        return std::string("サーバーが受け付けませんでした: ") + WithoutLineEnd(Text)
               + (Text[0] == '4' ? "\n時間をおいてもう一度送信してください。" : "\n宛先と設定を確認してください。");
    }
    // No login is tried in plain SMTP: the server refused the name the
    // computer gave in HELO.
    if (StartsWith(Text, kHeloRefused))
        return "サーバーがあいさつ（HELO）でこのコンピューターが名乗った名前を受け付けませんでした: "
               + WithoutLineEnd(Text.substr(std::char_traits<char>::length(kHeloRefused)))
               + "\n「設定」のユーザーID を確認してください。ふつうは空のままにします（コンピューターの正式な名前を使います）。";
    if (Text == "Authentication failed")
        return "サーバーがあいさつ（HELO）でこのコンピューターが名乗った名前を受け付けませんでした。「設定」のユーザーID を確認してください。";
    // "Attachment NAME is not encoded": a part handed over without its text.
    if (StartsWith(Text, "Invalid seek origin") || StartsWith(Text, "Attachment "))
        return kInternal;
    // The field's name comes first: "Subject holds a line break".
    if (Text.ends_with(" holds a line break"))
        return "メールの見出しに改行が入っています。タイトル、宛先と「設定」の送信者名を確認してください。";
    // A header value holding a word no fold can shorten (a long address).
    if (StartsWith(Text, "Header line longer than 998 octets"))
        return "メールの見出しの 1 行が長すぎて（998 バイトまで）送れません。宛先、タイトルと「設定」の送信者名を確認してください。";
    if (StartsWith(Text, "Reply without a valid code"))
        return "サーバーの応答が SMTP の形になっていませんでした。" + std::string(kCheckServer);
    if (StartsWith(Text, "The server did not handle pipelining"))
        return "サーバーがパイプライン処理に対応していませんでした。時間をおいてもう一度送信してください。";
    if (StartsWith(Text, "Line too long") || StartsWith(Text, "Reply too long"))
        return "サーバーの応答が長すぎて読めませんでした。" + std::string(kCheckServer);
    if (StartsWith(Text, "Unknown Error No. "))
        return kOtherSocketError;
    return ExplainSocketError(Text);
}

std::string ErrorBoxText(const std::string& Text, const std::string& Server)
{
    const std::string explanation = ExplainError(Text, Server);
    // A box leads with a Japanese sentence, whatever a component said.
    if (explanation.empty())
        return IsAscii(Text) && !Text.empty() ? "エラーが起きました。詳しい内容は次のとおりです:\n\n" + Text : Text;
    if (explanation.find(WithoutLineEnd(Text)) != std::string::npos || StartsWith(Text, kHeloRefused))
        return explanation;
    return explanation + "\n\n" + Text;
}
