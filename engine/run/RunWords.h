// What the main window says about a run before, during and after it: the
// confirmation before anything is sent, the waits within the run, and the
// summary's note on UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run/BulkRun.h"

// A run as the confirmation box describes it.
struct TRunOutline {
    int Messages = 0;   // messages this run sends (one per sendable entry)
    int Addresses = 0;  // distinct addresses among them
    int Utf8 = 0;       // of the messages, those going out as UTF-8
    bool Auto = true;   // the charset is 自動: UTF-8 only where JIS X 0208 falls short
    int Invalid = 0;    // entries skipped as 宛先不正
    std::string InvalidText;  // their status text, naming the lines
    int Settled = 0;    // entries a resumed run settled already
    // The stem of a finished run with the same list, subject and body;
    // empty when there is none.
    std::string SentBefore;
    int OptedOut = 0;   // entries on the opt-out list (配信停止)
    std::vector<std::string> Warnings{};  // what the settings risk (ConfirmWarnings of Compliance.h)
    // Entries the check of every row held back (a file of their own is
    // missing, their message cannot be composed) and their lines, naming them.
    int Held = 0;
    std::string HeldText = {};
    // Entries whose address an earlier entry has, and the addresses with
    // their lines, one a line; 「同じアドレスには 1 通だけ」 leaves them out.
    int Duplicates = 0;
    std::string DuplicatesText = {};
};

// The confirmation box's text, ending in the question.
std::string ConfirmText(const TRunOutline& Outline);
// "20261207-101500" as "2026/12/07 10:15:00".
std::string StemDateText(const std::string& Stem);
// The status bar during a wait of the run, RemainingMs rounded up to seconds.
std::string WaitText(TWait What, int64_t RemainingMs);
// The summary's line on UTF-8; empty when no accepted message went so.
std::string Utf8Note(int Utf8, bool Auto);
