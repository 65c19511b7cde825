// The opt-out list 配信停止.txt of the profile folder: the addresses that
// asked for no more mail. A run gives their entries the outcome 配信停止
// and sends them nothing, whatever list they stand on.
//
// One address a line; blank lines and lines whose first non-blank character
// is "#" are left alone. UTF-8 or CP932, as every text file. An entry may be
// written in angle brackets or as a mailto: link, its domain with a final
// dot; it must be an address a run can send to, or the list is refused at
// its line (an entry that can never match would let mail through unseen).
// Addresses match whole, in any letter case: a run that skips a person who
// asked to stop risks nothing, one that mails them breaks the law.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "rtl/Exception.h"

extern const char* const OptOutFileName;  // "配信停止.txt"
// The outcome of an entry found on the list, in the journal and the summary.
extern const char* const OptOutOutcomeWord;  // "配信停止"

// A line of the list, or an address to add, that is no mail address; the
// message names it (and the line).
class EOptOutError : public Exception {
public:
    using Exception::Exception;
};

class TOptOutList {
public:
    // The list of ProfileDir; empty when there is no file. Raises
    // EFOpenError, ECodePageError as text files do, and EOptOutError for a
    // line that is no address (a typo must not let mail through).
    static TOptOutList Load(const std::string& ProfileDir);

    // Address: a bare address as the envelope uses it.
    bool Contains(const std::string& Address) const;
    size_t Count() const { return keys_.size(); }

private:
    std::set<std::string> keys_;  // the address in lower case, the domain without a final dot
};

// Adds Address (blanks around it and angle brackets allowed) to the list of
// ProfileDir, creating the file with a short explanation when there is
// none. Returns false when the list has it already. Raises EOptOutError for
// text that is no mail address and the file errors.
bool AddOptOut(const std::string& ProfileDir, const std::string& Address);

// The entries of the list of ProfileDir as written (angle brackets and
// blanks around them taken off), in the file's order, those that are no
// address included; comments and blank lines left out. Empty without the
// file.
std::vector<std::string> ListOptOut(const std::string& ProfileDir);
// Takes every line holding Entry (as ListOptOut gives it) out of the list
// of ProfileDir; the other lines, the comments and the line ends stay byte
// for byte. Returns false when no line held it. The file is replaced whole
// or not at all.
bool RemoveOptOut(const std::string& ProfileDir, const std::string& Entry);
