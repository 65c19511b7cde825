// A list's messages as their recipients will see them, composed one row at
// a time before anything is sent, with what the check before a run finds.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "charset/MailCharset.h"
#include "engine/MessageText.h"
#include "engine/RunStart.h"
#include "engine/SettingsFile.h"

class TRecipientSource;

// One row's message, its texts as a mail reader shows them.
struct TComposedRow {
    int Line = 0;  // the row number as the list shows it
    std::string From, To, Subject, Body;
    TMailCharset Charset = mcIso2022Jp;
    // The characters that made auto choose UTF-8, each once; empty when none did.
    std::string BeyondJis;
    // Why the row is not sent (宛先不正); empty when it is.
    std::string Problem;
};

class TListPreview {
public:
    TListPreview(TCheckedList List, const TSettings& Settings);

    const std::vector<TPlanEntry>& Entries() const { return list_.Entries; }
    const TRecipientSource& Source() const { return *list_.Source; }
    // The entry of a row number; nullopt when the list has none.
    std::optional<size_t> IndexOf(int Line) const;
    // Entries()[Index]'s message; To with Address instead of the row's own
    // when given, and SubjectPrefix before the subject.
    TComposedRow Compose(size_t Index, const std::string& Address = "", const std::string& SubjectPrefix = "") const;

    // The check's findings, one a line: the rows not sent and why, the
    // fields empty in some rows, how many messages go as UTF-8.
    std::vector<std::string> Findings() const;

private:
    TCheckedList list_;
    TSettings settings_;
};

// A composed row as text: the header lines, an empty line, the body.
std::string ComposedText(const TComposedRow& Row);

// The one composer's row step: the row's merged subject and body into Text
// when the templates merge (the whole composed message then decides its
// charset); the row's entry as TMessageText::Compose and Entry take it.
std::string PrepareRowText(TMessageText& Text, const TRecipientSource& Source, const TPlanEntry& Entry,
                           TMailCharset Choice);
