#include "engine/account/SettingsFile.h"

#include <cerrno>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "charset/CodePage.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

const char* const SettingsFileName = "設定.txt";

namespace {

template <typename T>
struct Word {
    T value;
    const char* text;
};

constexpr Word<TConnectionSecurity> kSecurityWords[] = {
    {csNone, "none"}, {csStartTls, "starttls"}, {csTls, "tls"}};
constexpr Word<TMailCharset> kCharsetWords[] = {
    {mcAuto, "auto"}, {mcIso2022Jp, "iso-2022-jp"}, {mcUtf8, "utf-8"}};
constexpr Word<TLoginMethod> kLoginMethodWords[] = {
    {lmPassword, "password"}, {lmOAuthMicrosoft, "oauth-microsoft"}, {lmOAuthGoogle, "oauth-google"}};

// Zero-based index of the extension lines.
constexpr int kSecurityLine = 5;
constexpr int kLoginLine = 6;
constexpr int kCharsetLine = 7;
constexpr int kPauseLine = 8;
constexpr int kLoginMethodLine = 9;
constexpr int kClientIDLine = 10;
constexpr int kTenantOrSecretLine = 11;
constexpr int kUnsubscribeAddressLine = 12;
constexpr int kUnsubscribeUrlLine = 13;
constexpr int kAdvertisingLine = 14;
constexpr int kPostalAddressLine = 15;
constexpr int kContactLine = 16;
constexpr Word<bool> kYesNoWords[] = {{true, "yes"}, {false, "no"}};

// A missing line and an empty one both mean "the default".
std::string LineOrEmpty(const TStringList& lines, int index)
{
    return index < lines.Count() ? lines[index] : std::string();
}

[[noreturn]] void Refuse(int index, const char* meaning, const std::string& text, const std::string& allowed)
{
    throw ESettingsError(Format("%s の %d 行目 (%s) の「%s」は使えません。%sを書いてください。",
                                SettingsFileName, index + 1, meaning, text.c_str(), allowed.c_str()));
}

template <typename T, size_t N>
T ParseWord(const TStringList& lines, int index, const char* meaning, const Word<T> (&words)[N], T fallback)
{
    const std::string text = LineOrEmpty(lines, index);
    if (text.empty())
        return fallback;
    for (const Word<T>& w : words)
        if (text == w.text)
            return w.value;
    std::string allowed;
    for (const Word<T>& w : words)
        allowed += (allowed.empty() ? "" : "、") + std::string(w.text);
    Refuse(index, meaning, text, allowed + " のどれか");
}

int ParsePause(const TStringList& lines)
{
    const std::string text = LineOrEmpty(lines, kPauseLine);
    if (text.empty())
        return 0;
    const bool digits = std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    // Leading zeros aside, more than four digits is out of range anyway.
    const size_t significant = text.find_first_not_of('0');
    if (digits && (significant == std::string::npos || text.size() - significant <= 4)) {
        const int value = significant == std::string::npos ? 0 : std::stoi(text.substr(significant));
        if (value <= MaxPauseSeconds)
            return value;
    }
    Refuse(kPauseLine, "送信間隔の秒数", text, Format("0 から %d までの整数", MaxPauseSeconds));
}

// Line 13 goes into a mailto URI and the footer: an address, nothing more.
void CheckUnsubscribeAddress(const std::string& text)
{
    const size_t at = text.rfind('@');
    const bool address = text.empty() || (at != std::string::npos && at != 0 && at + 1 != text.size()
                                          && text.find_first_of(" \t<>\"") == std::string::npos);
    if (!address)
        Refuse(kUnsubscribeAddressLine, "配信停止アドレス", text, "メールアドレス");
}

// Line 14 is posted to by the providers' one-click unsubscribe, which takes
// https only (RFC 8058).
void CheckUnsubscribeUrl(const std::string& text)
{
    const std::string scheme = "https://";
    if (!text.empty() && (LowerCase(text.substr(0, scheme.size())) != scheme || text.size() == scheme.size()
                          || text[scheme.size()] == '/'))
        Refuse(kUnsubscribeUrlLine, "配信停止URL", text, "https:// で始まるアドレス");
}

template <typename T, size_t N>
const char* NameOf(T value, const Word<T> (&words)[N])
{
    for (const Word<T>& w : words)
        if (w.value == value)
            return w.text;
    return words[0].text;
}

}  // namespace

void EnsureSettingsFile(const std::string& FileName)
{
    struct stat st {};
    // Only a file that is truly absent is created; anything else that stands
    // under the name (unreadable, a folder) is left for the reader to report
    // rather than overwritten with the defaults.
    if (::stat(FileName.c_str(), &st) == 0 || errno != ENOENT)
        return;
    const TStringList defaults{"", "25", "", "", ""};
    defaults.SaveToFile(FileName);
}

void ReadSettingsFile(TStringList& Lines, const std::string& FileName)
{
    EnsureSettingsFile(FileName);
    ReadTextFile(FileName, Lines);
    // Lines 1 to 5 are left to the caller, which takes them in order.
    TSettings checked;
    ParseExtension(Lines, checked);
}

void ParseExtension(const TStringList& Lines, TSettings& Settings)
{
    Settings.Security = ParseWord(Lines, kSecurityLine, "暗号化", kSecurityWords, csNone);
    Settings.LoginName = LineOrEmpty(Lines, kLoginLine);
    Settings.Charset = ParseWord(Lines, kCharsetLine, "文字コード", kCharsetWords, mcAuto);
    Settings.PauseSeconds = ParsePause(Lines);
    Settings.LoginMethod = ParseWord(Lines, kLoginMethodLine, "ログイン方式", kLoginMethodWords, lmPassword);
    Settings.OAuthClientID = LineOrEmpty(Lines, kClientIDLine);
    Settings.OAuthTenantOrSecret = LineOrEmpty(Lines, kTenantOrSecretLine);
    Settings.UnsubscribeAddress = LineOrEmpty(Lines, kUnsubscribeAddressLine);
    CheckUnsubscribeAddress(Settings.UnsubscribeAddress);
    Settings.UnsubscribeUrl = LineOrEmpty(Lines, kUnsubscribeUrlLine);
    CheckUnsubscribeUrl(Settings.UnsubscribeUrl);
    Settings.Advertising = ParseWord(Lines, kAdvertisingLine, "広告・宣伝メール", kYesNoWords, false);
    Settings.PostalAddress = LineOrEmpty(Lines, kPostalAddressLine);
    Settings.Contact = LineOrEmpty(Lines, kContactLine);
}

void ParseSettings(const TStringList& Lines, TSettings& Settings)
{
    // The extension first: a bad value there stops every reader before it
    // takes anything, whatever the first five lines hold.
    ParseExtension(Lines, Settings);

    std::string* const firstFive[] = {&Settings.Host, &Settings.Port, &Settings.UserID, &Settings.FromName,
                                      &Settings.FromAddress};
    for (int i = 0; i < static_cast<int>(std::size(firstFive)); ++i)
        *firstFive[i] = Lines[i];
}

TSettings ReadSettings(const std::string& FileName)
{
    // ParseSettings checks lines 6 to 12 first: read once, parsed once.
    EnsureSettingsFile(FileName);
    TStringList lines;
    ReadTextFile(FileName, lines);
    TSettings settings;
    ParseSettings(lines, settings);
    return settings;
}

void ReadSendSettings(const std::string& FileName, TSettings& Settings)
{
    EnsureSettingsFile(FileName);
    TStringList lines;
    ReadTextFile(FileName, lines);
    TSettings extension = Settings;
    ParseExtension(lines, extension);
    Settings = extension;
    Settings.Host = lines[0];
    CheckServerLines(lines);
    Settings.Port = lines[1];
    Settings.UserID = lines[2];
    Settings.FromName = lines[3];
    Settings.FromAddress = lines[4];
}

void SaveSettings(const TSettings& Settings, const std::string& FileName)
{
    CheckUnsubscribeAddress(Settings.UnsubscribeAddress);
    CheckUnsubscribeUrl(Settings.UnsubscribeUrl);
    const TStringList lines{Settings.Host,
                            Settings.Port,
                            Settings.UserID,
                            Settings.FromName,
                            Settings.FromAddress,
                            SecurityName(Settings.Security),
                            Settings.LoginName,
                            CharsetName(Settings.Charset),
                            std::to_string(Settings.PauseSeconds),
                            LoginMethodName(Settings.LoginMethod),
                            Settings.OAuthClientID,
                            Settings.OAuthTenantOrSecret,
                            Settings.UnsubscribeAddress,
                            Settings.UnsubscribeUrl,
                            NameOf(Settings.Advertising, kYesNoWords),
                            Settings.PostalAddress,
                            Settings.Contact};
    lines.SaveToFile(FileName);
}

const char* SecurityName(TConnectionSecurity Security) { return NameOf(Security, kSecurityWords); }
const char* CharsetName(TMailCharset Charset) { return NameOf(Charset, kCharsetWords); }
const char* LoginMethodName(TLoginMethod Method) { return NameOf(Method, kLoginMethodWords); }

void CheckServerLines(const TStringList& Lines)
{
    if (LineOrEmpty(Lines, 0).empty())
        throw ESettingsError(Format("%s の 1 行目 (SMTPサーバー) が空です。「設定」で SMTPサーバー を入力してください。",
                                    SettingsFileName));
    // Blanks around the number are read past, as the Send reads it.
    const std::string port = Trim(LineOrEmpty(Lines, 1));
    const bool digits = !port.empty() && port.size() <= 5
                        && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535)
        Refuse(1, "ポート", LineOrEmpty(Lines, 1), "1 から 65535 までの整数");
}
