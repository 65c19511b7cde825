// The composer, the only writer of the component's message record: the
// subject, the body and the sender's name are checked and converted once
// per Send, before connecting; each recipient entry then decides its
// message's charset (a display name may need UTF-8 while the others do
// not), and its message gets its To line, Date and Message-ID.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "charset/MailCharset.h"
#include "rtl/StringList.h"

class QString;
class TNMSMTP;
class TNMUUProcessor;

// The origination date of a message, e.g. "Tue, 05 Mar 2024 09:07:03 +0900".
std::string Rfc5322Date(std::time_t When);

// The typed text as UTF-8. A lone surrogate would become "?" on the way,
// so it is refused here: ECodePageError "Field: ..." or, ByLine,
// "Field 3 行目: ..." in the user's words.
std::string MailableText(const QString& Text, const std::string& Field, bool ByLine);

struct TEntryParts;

// Which charset the message to an entry takes, decided without encoding
// anything: a copy of the texts' state, so a worker thread may use it while
// a Send pressed meanwhile changes the texts.
struct TCharsetRule {
    TMailCharset Choice = mcAuto;
    bool TextsStrict = false;  // in auto: subject, body and sender are all JIS X 0208

    TMailCharset For(const std::string& Line) const;
    TMailCharset For(const TEntryParts& Parts) const;
};

class TMessageText {
public:
    explicit TMessageText(TNMUUProcessor& Encoder) : encoder_(Encoder) {}

    // The sender's name under Choice, encoded once for the charsets its
    // messages may need, written into Smtp's record (the form the texts'
    // charset takes). ECodePageError "送信者名: ...".
    void Sender(const std::string& Name, TMailCharset Choice, TNMSMTP& Smtp);
    // Checks and converts subject and body for Choice, with the sender of
    // the last Sender. Raises ECodePageError naming the field and line
    // ("タイトル", "本文 3 行目").
    void Prepare(TMailCharset Choice, const std::string& Subject, const TStringList& Body);

    struct TEntry {
        std::string Header;    // the entry as the To line carries it
        TMailCharset Charset;  // mcIso2022Jp or mcUtf8
    };
    // A recipient entry: a display name that is not ASCII becomes encoded
    // words, an ASCII one with specials a quoted string; the address part is
    // left exactly as written. "address (comment)" is written as
    // "comment <address>". Raises ECodePageError for a name that cannot be
    // sent. Footer, the entry's footer of advertising mail, is part of the
    // body the charset must carry.
    TEntry Entry(const std::string& Line, const std::string& Footer = {}) const;

    // Before connecting: raises ECodePageError "フッター 3 行目: ..." when
    // the chosen charset cannot carry the footer.
    void CheckFooter(const std::string& Footer) const;

    // Why a recipient's display name cannot be sent in the chosen charset,
    // naming the characters; empty when it can.
    std::string NameProblem(const std::string& Name) const;

    TCharsetRule CharsetRule() const { return {choice_, textsStrict_}; }

    // The charset of the subject, body and sender name alone.
    TMailCharset TextsCharset() const { return hasIso_ ? mcIso2022Jp : mcUtf8; }

    // Puts the texts of Charset into the message record and sets the
    // component's charset and body encoding (base64 for UTF-8); a Footer
    // follows the body after one empty line.
    void Apply(TNMSMTP& Smtp, TMailCharset Charset, const std::string& Footer = {}) const;
    // The whole message to one entry, sent at When: its To line, its texts
    // in the charset the entry needs (its footer included), Date, a fresh
    // Message-ID and Headers, whole lines such as List-Unsubscribe.
    void Compose(TNMSMTP& Smtp, const std::string& Line, std::time_t When, const std::string& Footer = {},
                 const std::vector<std::string>& Headers = {}) const;

private:
    struct Form {
        std::string subject;
        TStringList body;
        std::string fromName;  // as the From line carries it, before "<"
    };
    Form MakeIso(const std::string& subject, const TStringList& body) const;
    std::string NameWords(const std::string& name, TMailCharset charset) const;

    TNMUUProcessor& encoder_;
    // The sender's name in the forms the From line carries.
    bool senderStrict_ = false;
    std::string senderIso_, senderUtf8_;
    TMailCharset choice_ = mcAuto;
    // In auto: subject, body and sender name are all strict JIS X 0208.
    bool textsStrict_ = false;
    bool hasIso_ = false;
    // The body last put into the record: 0 ISO-2022-JP, 1 UTF-8, -1 none.
    // Copying a long body for every message would cost a run dearly.
    mutable int bodyApplied_ = -1;
    // The footer last put after that body, and its lines there (the empty
    // one before it included): a row's footer replaces the one before.
    mutable std::string footerApplied_;
    mutable int footerLines_ = 0;
    Form iso_;
    Form utf8_;
};
