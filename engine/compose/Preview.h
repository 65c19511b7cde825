// A list's messages as their recipients will see them, composed one row at
// a time before anything is sent, with what the check before a run finds.
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "charset/MailCharset.h"
#include "engine/compose/MessageText.h"
#include "engine/list/RecipientSource.h"
#include "engine/compose/RowCheck.h"
#include "engine/account/SettingsFile.h"
#include "engine/compose/Unsubscribe.h"

class TCompliance;
class TRunAttachments;
class TNMSMTP;

// One row's message, its texts as a mail reader shows them.
struct TComposedRow {
    int Line = 0;  // the row number as the list shows it
    std::string From, To, Subject, Body;
    // The row's footer (advertising mail), after Body and one empty line,
    // and its List-Unsubscribe lines, as the run sends them.
    std::string Footer;
    std::vector<std::string> Headers;
    // The files the message carries: "name（type、size as sent）".
    std::vector<std::string> Files;
    TMailCharset Charset = mcIso2022Jp;
    // The characters that made auto choose UTF-8, each once; empty when none did.
    std::string BeyondJis;
    // Why the row is not sent (宛先不正); empty when it is.
    std::string Problem;
    // What else the check found about the row (配信停止, 重複, a file
    // missing or outside the list's folder), a sentence; empty when nothing.
    std::string Note;
};

class TListPreview {
public:
    // Compliance, when given, adds each row's footer and unsubscribe headers;
    // Files, when given, each row's attachments.
    // Verdicts: the check of every row over List's entries (RowCheck.h),
    // whose held rows List's entries carry already.
    TListPreview(TCheckedList List, const TSettings& Settings, std::shared_ptr<const TCompliance> Compliance = nullptr,
                 std::shared_ptr<TRunAttachments> Files = nullptr, std::vector<TRowVerdict> Verdicts = {});
    ~TListPreview();
    // The run's files (null without any): a test send encodes them from here.
    TRunAttachments* Files() const { return files_.get(); }

    const std::vector<TPlanEntry>& Entries() const { return list_.Entries; }
    const TRecipientSource& Source() const { return *list_.Source; }
    // The entry of a row number; nullopt when the list has none.
    std::optional<size_t> IndexOf(int Line) const;
    // Entries()[Index]'s message; To with Address instead of the row's own
    // when given, and SubjectPrefix before the subject.
    TComposedRow Compose(size_t Index, const std::string& Address = "", const std::string& SubjectPrefix = "") const;

    // The check's findings, one a line: the rows not sent and why (宛先不正,
    // 配信停止, files missing), repeated addresses, files outside the
    // list's folder, the fields empty in some rows, how many messages go as
    // UTF-8.
    std::vector<std::string> Findings() const;

private:
    TCheckedList list_;
    TSettings settings_;
    std::shared_ptr<const TCompliance> compliance_;
    std::shared_ptr<TRunAttachments> files_;
    std::vector<TRowVerdict> verdicts_;
};

// A composed row as text: its note, the header lines, an empty line, the body.
std::string ComposedText(const TComposedRow& Row);

// The one composer's row step: the row's merged subject and body into Text
// when the templates merge (the whole composed message then decides its
// charset); the row's entry as TMessageText::Compose and Entry take it.
std::string PrepareRowText(TMessageText& Text, const TRecipientSource& Source, const TPlanEntry& Entry,
                           TMailCharset Choice);

// What a run owes the law and the providers in the row's message.
struct TRowCompliance {
    std::string Footer;                // empty unless the mail is advertising
    std::vector<std::string> Headers;  // whole lines: "List-Unsubscribe: <…>"
};
// The row's merge for the footer and the unsubscribe URL: the list's row,
// or a text list's entry as {{メールアドレス}} and {{氏名}}.
TRowMerge ComplianceMerge(const TRecipientSource* Source, const TPlanEntry& Entry);
TRowCompliance RowCompliance(const TCompliance* Compliance, const TRecipientSource* Source, const TPlanEntry& Entry);

// The message to one row exactly as the run writes it into Smtp's record:
// the row's texts merged, its footer and unsubscribe headers, sent at When.
// Source may be null (the texts as last prepared, Entry's own line).
void ComposeRow(TMessageText& Text, TNMSMTP& Smtp, const TRecipientSource* Source, const TCompliance* Compliance,
                const TPlanEntry& Entry, TMailCharset Choice, std::time_t When);
