// What veltrow-send shows while it sends. On a terminal one line redrawn in
// place: accepted of all, the other outcomes so far, the rate and the time
// left. Otherwise (cron, a pipe, a log file) one line per outcome, tab
// separated, for logs and scripts: row, entry, outcome, the server's reply.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// "12/120 送信済み　拒否 1件　4.0 通/秒　残り 0:27"; Settled counts the
// entries of this run with an outcome, which the rate and the time left
// are measured in. Counts is the text of the other outcomes (may be empty).
std::string ProgressLine(int Sent, int Settled, int Total, const std::string& Counts, int64_t ElapsedMs);

// "3\ttaro@example.jp\t拒否\t550 5.1.1 Recipient refused": a reply of
// several lines is joined with " / ", and no field keeps a tab or line end.
std::string OutcomeLine(int Line, const std::string& Entry, const std::string& Outcome, const std::string& Reply);

class TProgressPrinter {
public:
    // Terminal: redraw one line in Out; else one line per outcome. Err
    // takes everything else, so that Out stays one line per outcome.
    TProgressPrinter(std::FILE* Out, std::FILE* Err, bool Terminal, std::function<int64_t()> Now);

    // The sending begins: the rate is measured from here.
    void Begin();
    void Outcome(int Line, const std::string& Entry, const std::string& Outcome, const std::string& Reply);
    void Progress(int Sent, int Settled, int Total, const std::string& Counts);
    // A text of its own to Err (a wait, a notice, a failure); on a terminal
    // the redrawn line gives way and stands again below it.
    void Say(const std::string& Text);
    // The redrawn line is left standing; what follows starts below it.
    void End();

private:
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    std::function<int64_t()> now_;
    int64_t start_ = 0;
    std::string shown_;  // the redrawn line, empty when none stands
};
