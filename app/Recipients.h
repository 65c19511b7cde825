// The recipient file read and checked as a whole before the connection is
// opened, so that the run knows its count and the entries it cannot send.
#pragma once

#include <functional>
#include <string>
#include <vector>

// True when the chosen charset can carry the display name (UTF-8).
using TNameCheck = std::function<bool(const std::string& Name)>;

struct TRecipient {
    int Line = 0;           // in the file, from 1
    std::string Entry;      // as written
    std::string Address;    // the bare address the envelope uses
    std::string Name;       // the display name (or comment), unquoted; may be empty
    std::string Problem;    // why it cannot be sent; empty when it can

    bool Sendable() const { return Problem.empty(); }
};

// The parts of an entry: "addr", "name <addr>" or "addr (comment)".
void SplitEntry(const std::string& Entry, std::string& Name, std::string& Address);
// An address the envelope can carry: local@domain in ASCII, dot-atoms (or an
// address literal for the domain), no blanks.
bool IsUsableAddress(const std::string& Address);
// Every line of the file, blank ones included, each with its verdict. An
// empty CanCarry leaves names unchecked.
std::vector<TRecipient> CheckRecipients(const std::vector<std::string>& Lines, const TNameCheck& CanCarry);
// The status text before the run when some entries cannot be sent, e.g.
// "宛先不正 2 件（3, 7 行目）は送信しません"; empty when all can.
std::string PrecheckText(const std::vector<TRecipient>& Recipients);
