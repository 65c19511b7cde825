// The settings file "設定.txt": one value per line, no keys.
//
//   1 SMTP server          2 port (decimal)      3 HELO identity
//   4 sender's name        5 sender's address
//   6 connection security: none, starttls or tls          (default none)
//   7 login name for SMTP AUTH, empty for no login        (default empty)
//   8 charset: auto, iso-2022-jp or utf-8                 (default auto)
//   9 seconds between two messages, 0 to 3600             (default 0)
//  10 login method: password, oauth-microsoft or oauth-google (default password)
//  11 OAuth client ID of the office's own app registration  (default empty)
//  12 Microsoft: the tenant (empty: organizations); Google: the client
//     secret it issues to desktop apps, public by design     (default empty)
//  13 unsubscribe address; empty means line 5                (default empty)
//  14 one-click unsubscribe URL, https only, merge fields allowed (default empty)
//  15 advertising mail (特定電子メール): yes or no          (default no)
//  16 sender's postal address, for the advertising footer   (default empty)
//  17 contact for enquiries and complaints                  (default empty)
//
// Files of five lines (the first version's) stay valid: a missing or empty
// line 6 to 17 takes its default. Lines 1 to 5 must be there. A value of
// lines 6 to 17 outside its set is refused before anything uses the file.
// Written as UTF-8 with CR LF after every line; a file that is not valid
// UTF-8 (one from a Shift_JIS system) is read as CP932.
#pragma once

#include <string>

#include "charset/MailCharset.h"
#include "rtl/Exception.h"

class TStringList;

extern const char* const SettingsFileName;

enum TConnectionSecurity {
    csNone,      // plain SMTP
    csStartTls,  // plain connection upgraded by STARTTLS
    csTls,       // TLS from the first byte
};

// How the login of line 7 proves itself: the password, or a sign-in in the
// browser whose access token goes to AUTH XOAUTH2.
enum TLoginMethod {
    lmPassword,
    lmOAuthMicrosoft,
    lmOAuthGoogle,
};

struct TSettings {
    std::string Host;
    std::string Port = "25";  // as written; the Send converts it
    std::string UserID;
    std::string FromName;
    std::string FromAddress;
    TConnectionSecurity Security = csNone;
    std::string LoginName;  // empty: no login
    TMailCharset Charset = mcAuto;
    int PauseSeconds = 0;
    TLoginMethod LoginMethod = lmPassword;
    std::string OAuthClientID;
    std::string OAuthTenantOrSecret;  // line 12, see above
    std::string UnsubscribeAddress;   // line 13; empty: FromAddress
    std::string UnsubscribeUrl;       // line 14; empty: no one-click unsubscribe
    bool Advertising = false;         // line 15
    std::string PostalAddress;        // line 16
    std::string Contact;              // line 17
};

constexpr int MaxPauseSeconds = 3600;

// A value of lines 6 to 17 that is not one the line allows; the message names
// the line, what it is for, the text found and the values allowed.
class ESettingsError : public Exception {
public:
    using Exception::Exception;
};

// Creates the default file (an empty line, "25", three empty lines) when
// there is none. A file that exists is never replaced, even when it cannot
// be read: the reader then reports it.
void EnsureSettingsFile(const std::string& FileName = SettingsFileName);
// Ensures the file and loads its lines, converted to UTF-8, after checking
// lines 6 to 12 (ESettingsError). Raises the file errors "ファイル %s は開けません"
// / "ファイル %s を作成できません".
void ReadSettingsFile(TStringList& Lines, const std::string& FileName = SettingsFileName);

// Fills Settings from the lines: first lines 6 to 17 (ESettingsError), then
// lines 1 to 5 in order, stopping with the list's index error at the first
// missing one; what was taken before stays in Settings.
void ParseSettings(const TStringList& Lines, TSettings& Settings);
// Lines 6 to 17 alone (ESettingsError), for a reader that takes lines 1 to 5
// one by one itself.
void ParseExtension(const TStringList& Lines, TSettings& Settings);
// Lines 1 and 2 as a connection needs them: a server name, and a port from
// 1 to 65535 (ESettingsError naming the line).
void CheckServerLines(const TStringList& Lines);
// ReadSettingsFile and ParseSettings.
TSettings ReadSettings(const std::string& FileName = SettingsFileName);
// The settings a Send works with, the file ensured, read and parsed once:
// lines 6 to 12 first (ESettingsError), then line 1, the server and port
// checked (CheckServerLines), lines 2 to 5 in order, stopping with the
// list's index error at the first missing one; what was taken before a
// failure stays in Settings, the rest as it was.
void ReadSendSettings(const std::string& FileName, TSettings& Settings);
// Replaces the file with every line this version knows; refuses
// (ESettingsError) values of lines 13 and 14 it would not read back.
void SaveSettings(const TSettings& Settings, const std::string& FileName = SettingsFileName);

// The words of the file: "none", "starttls", "tls"; "auto", "iso-2022-jp",
// "utf-8"; "password", "oauth-microsoft", "oauth-google".
const char* SecurityName(TConnectionSecurity Security);
const char* CharsetName(TMailCharset Charset);
const char* LoginMethodName(TLoginMethod Method);
