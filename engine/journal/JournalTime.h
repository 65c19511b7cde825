// The journal's times: what its rows and file names show, and what it reads
// back from a journal that Excel or an older version wrote.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Local time as Japanese Excel reads a date and time, "2026/12/07 14:48:36".
std::string JournalTime(std::time_t When);
// The journal's time back: that form, or ISO 8601 with its offset
// ("2026-12-07T10:15:00+09:00") as older journals have it.
std::optional<std::time_t> ParseJournalTime(std::string_view Text);
// "20261207-101500", the local start time of a run.
std::string RunStem(std::time_t Start);
