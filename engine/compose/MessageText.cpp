#include "engine/compose/MessageText.h"

#include <algorithm>

#include <QString>

#include "engine/list/Recipients.h"
#include "charset/CodePage.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

namespace {

// Names where in the message an unmailable character stands.
template <typename F>
auto At(const std::string& where, F&& convert)
{
    try {
        return convert();
    } catch (const ECodePageError& e) {
        throw ECodePageError(where + ": " + e.Message());
    }
}

}  // namespace

std::string MailableText(const QString& Text, const std::string& Field, bool ByLine)
{
    int line = 1;
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const QChar c = Text[i];
        line += c == QLatin1Char('\n') ? 1 : 0;
        if (c.isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            const std::string where = ByLine ? Format("%s %d 行目", Field.c_str(), line) : Field;
            throw ECodePageError(where + ": 壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)");
        }
    }
    return Text.toStdString();
}

void TMessageText::Sender(const std::string& Name, TMailCharset Choice, TNMSMTP& Smtp)
{
    At("送信者名", [&] { CheckMailable(Name); });
    const bool strict = IsStrictJis(Name);
    const bool iso = Choice == mcIso2022Jp || (Choice == mcAuto && strict);
    // Encoded here only: every message of the Send takes one of these.
    std::string isoWords, utf8Words;
    if (iso)
        isoWords = At("送信者名", [&] { return NameWords(Name, mcIso2022Jp); });
    if (Choice != mcIso2022Jp)
        utf8Words = NameWords(Name, mcUtf8);
    senderStrict_ = strict;
    senderIso_ = std::move(isoWords);
    senderUtf8_ = std::move(utf8Words);
    Smtp.PostMessage->FromName = iso ? senderIso_ : senderUtf8_;
}

void TMessageText::Prepare(TMailCharset Choice, const std::string& Subject, const TStringList& Body)
{
    At("タイトル", [&] { CheckMailable(Subject); });
    for (int i = 0; i < Body.Count(); ++i)
        At(Format("本文 %d 行目", i + 1), [&] { CheckMailable(Body[i]); });

    const bool strict = Choice == mcAuto && IsStrictJis(Subject) && senderStrict_
                        && std::all_of(Body.Lines().begin(), Body.Lines().end(),
                                       [](const std::string& line) { return IsStrictJis(line); });
    // Built aside and taken only when all went well: a refused Send during
    // a run leaves that run's texts as they were.
    Form iso;
    const bool hasIso = Choice == mcIso2022Jp || strict;
    if (hasIso)
        iso = MakeIso(Subject, Body);
    Form utf8;
    if (Choice != mcIso2022Jp)
        utf8 = Form{EncodeUtf8Subject(encoder_, Subject), Body, senderUtf8_};
    choice_ = Choice;
    textsStrict_ = strict;
    hasIso_ = hasIso;
    iso_ = std::move(iso);
    utf8_ = std::move(utf8);
    bodyApplied_ = -1;
}

std::string TMessageText::NameProblem(const std::string& Name) const
{
    try {
        CheckMailable(Name);
        if (choice_ == mcIso2022Jp)
            NameWords(Name, mcIso2022Jp);
        return {};
    } catch (const ECodePageError& e) {
        return e.Message();
    }
}

TMessageText::Form TMessageText::MakeIso(const std::string& subject, const TStringList& body) const
{
    Form form;
    form.fromName = senderIso_;
    form.subject = At("タイトル", [&] { return EncodeSubject(encoder_, Utf8ToCp932(subject)); });
    for (int i = 0; i < body.Count(); ++i)
        form.body.Add(At(Format("本文 %d 行目", i + 1), [&] { return BodyLineToIso2022Jp(Utf8ToCp932(body[i])); }));
    return form;
}

std::string TMessageText::NameWords(const std::string& name, TMailCharset charset) const
{
    if (IsPlainHeaderText(name))
        return name;
    // Words folded onto lines of their own, however long the name; a name
    // that only looks like encoded words is encoded like any other.
    // The From line puts the address right after the name; an encoded word
    // must stand apart from it.
    if (charset == mcUtf8)
        return EncodeUtf8Subject(encoder_, name) + " ";
    return EncodeSubject(encoder_, Utf8ToCp932(name)) + " ";
}

namespace {

TStringList FooterLines(const std::string& Footer)
{
    TStringList lines;
    lines.SetText(Footer);
    return lines;
}

}  // namespace

void TMessageText::CheckFooter(const std::string& Footer) const
{
    const TStringList lines = FooterLines(Footer);
    for (int i = 0; i < lines.Count(); ++i)
        At(Format("フッター %d 行目", i + 1), [&] {
            CheckMailable(lines[i]);
            if (choice_ == mcIso2022Jp)
                BodyLineToIso2022Jp(Utf8ToCp932(lines[i]));
        });
}

TMailCharset TCharsetRule::For(const std::string& Line) const { return For(ParseEntry(Line)); }

TMailCharset TCharsetRule::For(const TEntryParts& Parts) const
{
    const TMailCharset texts = TextsStrict || Choice == mcIso2022Jp ? mcIso2022Jp : mcUtf8;
    // A name in plain ASCII goes as it is, in whatever charset the texts take.
    if (IsPlainHeaderText(Parts.Bracketed ? Parts.Before : Parts.Name))
        return texts;
    return texts == mcIso2022Jp && (Choice == mcIso2022Jp || IsStrictJis(Parts.Name)) ? mcIso2022Jp : mcUtf8;
}

TMessageText::TEntry TMessageText::Entry(const std::string& Line, const std::string& Footer) const
{
    const TEntryParts parts = ParseEntry(Line);
    // In auto, a footer beyond JIS X 0208 takes the message to UTF-8 as the body would.
    const bool footerStrict = Footer.empty() || IsStrictJis(Footer);
    const TMailCharset charset = TCharsetRule{choice_, textsStrict_ && footerStrict}.For(parts);
    const std::string& name = parts.Name;
    // The envelope takes its address from this line: it holds the bare
    // address, whatever blanks the entry had. "address (comment)" has no
    // "<", so it becomes "comment <address>".
    if (!parts.Bracketed && name.empty())
        return {parts.Address, charset};
    const std::string rest = "<" + parts.Address + ">" + parts.After;
    const std::string written = Trim(parts.Bracketed ? parts.Before : name, TBlanks::Spaces);
    if (written.empty())
        return {rest, charset};
    // "Name <address>": a name run into its "<" reads as malformed.
    if (IsPlainHeaderText(written))
        return {DisplayName(written) + " " + rest, charset};
    // An encoded word may not stand inside a quoted string.
    CheckMailable(name);
    std::string words = NameWords(name, charset);
    words.pop_back();  // the blank goes before "<" below, as written
    return {words + " " + rest, charset};
}

void TMessageText::Apply(TNMSMTP& Smtp, TMailCharset Charset, const std::string& Footer) const
{
    // A Send pressed during the run may have replaced the texts by ones that
    // need UTF-8; the later messages carry those.
    const bool utf8 = Charset == mcUtf8 || !hasIso_;
    const Form& form = utf8 ? utf8_ : iso_;
    TPostMessage& message = *Smtp.PostMessage;
    message.Subject = form.subject;
    if (bodyApplied_ != (utf8 ? 1 : 0) || message.Body->Count() != form.body.Count() + footerLines_) {
        message.SetLinesBody(form.body);
        bodyApplied_ = utf8 ? 1 : 0;
        footerApplied_.clear();
        footerLines_ = 0;
    }
    if (Footer != footerApplied_) {
        // Only the footer's lines change from row to row; the body stays.
        for (; footerLines_ > 0; --footerLines_)
            message.Body->Delete(message.Body->Count() - 1);
        if (!Footer.empty()) {
            const TStringList lines = FooterLines(Footer);
            message.Body->Add("");
            for (int i = 0; i < lines.Count(); ++i)
                message.Body->Add(utf8 ? lines[i] : BodyLineToIso2022Jp(Utf8ToCp932(lines[i])));
            footerLines_ = lines.Count() + 1;
        }
        footerApplied_ = Footer;
    }
    message.FromName = form.fromName;
    message.Base64Body = utf8;
    Smtp.Charset = CharsetLabel(utf8 ? mcUtf8 : mcIso2022Jp);
}

void TMessageText::Compose(TNMSMTP& Smtp, const std::string& Line, std::time_t When, const std::string& Footer,
                           const std::vector<std::string>& Headers) const
{
    const TEntry entry = Entry(Line, Footer);
    // Each message in the charset its entry needs.
    Apply(Smtp, entry.Charset, Footer);
    TPostMessage& message = *Smtp.PostMessage;
    message.ExtraHeaders->Clear();
    for (const std::string& header : Headers)
        message.ExtraHeaders->Add(header);
    message.Date = Rfc5322Date(When);
    message.MessageID = NewMessageID(message.FromAddress);
    // A message that failed leaves its entry behind; it must not receive the
    // next one too.
    message.ToAddress->Clear();
    message.ToAddress->Add(entry.Header);
}

std::string Rfc5322Date(std::time_t When)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    localtime_r(&When, &t);
    const long offset = t.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    return Format("%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[t.tm_wday], t.tm_mday,
                  months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                  offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
}
