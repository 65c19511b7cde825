// The recipient file read and checked as a whole before the connection is
// opened, so that the run knows its count and the entries it cannot send.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/plan/RunPlan.h"

// Why the chosen charset cannot carry the display name (UTF-8), naming the
// characters; empty when it can.
using TNameCheck = std::function<std::string(const std::string& Name)>;

struct TRecipient {
    int Line = 0;           // in the file, from 1
    std::string Entry;      // as written
    std::string Address;    // the bare address the envelope uses
    std::string Name;       // the display name (or comment), unquoted; may be empty
    std::string Problem;    // why it cannot be sent; empty when it can

    bool Sendable() const { return Problem.empty(); }
};

// One recipient entry as the check, the To line and the envelope all read
// it: "addr", "name <addr>" or "addr (comment)", blanks around each part
// (inside the angle brackets too) not part of it.
struct TEntryParts {
    std::string Name;     // the display name (or comment), unquoted; may be empty
    std::string Address;  // the bare address; empty when "<" has no ">"
    bool Bracketed = false;  // written with "<"
    std::string Before;   // Bracketed: what stands before "<", as written
    std::string After;    // Bracketed: what follows ">", as written
};
TEntryParts ParseEntry(const std::string& Entry);
// ParseEntry's name and address.
void SplitEntry(const std::string& Entry, std::string& Name, std::string& Address);
// An address the envelope can carry: local@domain in ASCII, dot-atoms (or an
// address literal for the domain), no blanks.
bool IsUsableAddress(const std::string& Address);
// Why the entry cannot be sent, in the words the journal and the status bar
// show ("アドレスがありません"); nullptr when it can. An empty CanCarry
// leaves names unchecked; a name it refuses is told with its reason.
const char* EntryProblem(const std::string& Entry, const TNameCheck& CanCarry);
// Every line of the file, blank ones included, each with its verdict.
std::vector<TRecipient> CheckRecipients(const std::vector<std::string>& Lines, const TNameCheck& CanCarry);
// The entries that cannot be sent, the first few with their reasons, e.g.
// "宛先不正 2 件（3 行目: 空行、7 行目: @ がありません）"; empty when all can.
std::string InvalidText(const std::vector<TPlanEntry>& Entries);
