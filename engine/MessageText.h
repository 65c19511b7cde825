// The texts of the message in the charset each message goes out in: the
// subject, the body and the sender's name are checked and converted once
// per Send, before connecting; each recipient entry then decides its
// message's charset (a display name may need UTF-8 while the others do not).
#pragma once

#include <string>

#include "charset/MailCharset.h"
#include "rtl/StringList.h"

class QString;
class TNMSMTP;
class TNMUUProcessor;

// The typed text as UTF-8. A lone surrogate would become "?" on the way,
// so it is refused here: ECodePageError "Field: ..." or, ByLine,
// "Field 3 行目: ..." in the user's words.
std::string MailableText(const QString& Text, const std::string& Field, bool ByLine);

class TMessageText {
public:
    explicit TMessageText(TNMUUProcessor& Encoder) : encoder_(Encoder) {}

    // Checks and converts the texts for Choice. Raises ECodePageError naming
    // the field and line ("タイトル", "本文 3 行目", "送信者名").
    void Prepare(TMailCharset Choice, const std::string& Subject, const TStringList& Body,
                 const std::string& FromName);

    struct TEntry {
        std::string Header;    // the entry as the To line carries it
        TMailCharset Charset;  // mcIso2022Jp or mcUtf8
    };
    // A recipient entry: a display name that is not ASCII becomes encoded
    // words, an ASCII one with specials a quoted string; the address part is
    // left exactly as written. "address (comment)" is written as
    // "comment <address>". Raises ECodePageError for a name that cannot be
    // sent.
    TEntry Entry(const std::string& Line) const;

    // The sender's name as the From line carries it under Choice: ASCII as
    // it is, else encoded words (UTF-8 ones when auto finds it outside JIS
    // X 0208) and the blank before the address. ECodePageError "送信者名: ...".
    std::string SenderName(const std::string& Name, TMailCharset Choice) const;

    // Whether a recipient's display name can be sent in the chosen charset.
    bool CanCarry(const std::string& Name) const;

    // The charset of the subject, body and sender name alone.
    TMailCharset TextsCharset() const { return hasIso_ ? mcIso2022Jp : mcUtf8; }

    // Puts the texts of Charset into the message record and sets the
    // component's charset and body encoding (base64 for UTF-8).
    void Apply(TNMSMTP& Smtp, TMailCharset Charset) const;

private:
    struct Form {
        std::string subject;
        TStringList body;
        std::string fromName;  // as the From line carries it, before "<"
    };
    Form MakeIso(const std::string& subject, const TStringList& body, const std::string& fromName) const;
    std::string NameWords(const std::string& name, TMailCharset charset) const;

    TNMUUProcessor& encoder_;
    TMailCharset choice_ = mcAuto;
    // In auto: subject, body and sender name are all strict JIS X 0208.
    bool textsStrict_ = false;
    bool hasIso_ = false;
    // The body last put into the record: 0 ISO-2022-JP, 1 UTF-8, -1 none.
    // Copying a long body for every message would cost a run dearly.
    mutable int bodyApplied_ = -1;
    Form iso_;
    Form utf8_;
};
