#include "cli/Progress.h"

#include "rtl/Exception.h"

namespace {

// The reply's lines joined, the field's own separators taken out.
std::string Field(const std::string& Text)
{
    std::string out;
    bool lineEnd = false;
    for (char c : Text) {
        if (c == '\r' || c == '\n') {
            lineEnd = true;
            continue;
        }
        if (lineEnd && !out.empty())
            out += " / ";
        lineEnd = false;
        out += c == '\t' ? ' ' : c;
    }
    return out;
}

// Below this much sending a rate says nothing yet.
constexpr int64_t MinRateMs = 1000;

}  // namespace

std::string ProgressLine(int Sent, int Settled, int Total, const std::string& Counts, int64_t ElapsedMs)
{
    std::string line = Format("%d/%d 送信済み", Sent, Total);
    if (!Counts.empty())
        line += "　" + Counts;
    if (Settled > 0 && ElapsedMs >= MinRateMs) {
        const double perSecond = Settled * 1000.0 / static_cast<double>(ElapsedMs);
        const long long left = static_cast<long long>((Total - Settled) / perSecond + 0.5);
        line += Format("　%.1f 通/秒", perSecond);
        if (Total > Settled)
            line += left >= 3600 ? Format("　残り %lld:%02lld:%02lld", left / 3600, left / 60 % 60, left % 60)
                                 : Format("　残り %lld:%02lld", left / 60, left % 60);
    }
    return line;
}

std::string OutcomeLine(int Line, const std::string& Entry, const std::string& Outcome, const std::string& Reply)
{
    return Format("%d\t", Line) + Field(Entry) + "\t" + Outcome + "\t" + Field(Reply);
}

TProgressPrinter::TProgressPrinter(std::FILE* Out, std::FILE* Err, bool Terminal, std::function<int64_t()> Now)
    : out_(Out), err_(Err), terminal_(Terminal), now_(std::move(Now))
{
}

void TProgressPrinter::Begin() { start_ = now_(); }

void TProgressPrinter::Outcome(int Line, const std::string& Entry, const std::string& Outcome,
                               const std::string& Reply)
{
    if (terminal_)
        return;
    std::fprintf(out_, "%s\n", OutcomeLine(Line, Entry, Outcome, Reply).c_str());
    // A log read while the run goes on (tail -f) sees every outcome at once.
    std::fflush(out_);
}

void TProgressPrinter::Progress(int Sent, int Settled, int Total, const std::string& Counts)
{
    if (!terminal_)
        return;
    shown_ = ProgressLine(Sent, Settled, Total, Counts, now_() - start_);
    // Back to the line's start, the line, and the rest of the old one cleared.
    std::fprintf(out_, "\r%s\x1b[K", shown_.c_str());
    std::fflush(out_);
}

void TProgressPrinter::Say(const std::string& Text)
{
    const bool standing = terminal_ && !shown_.empty();
    if (standing) {
        std::fprintf(out_, "\r\x1b[K");
        std::fflush(out_);
    }
    std::fprintf(err_, "%s\n", Text.c_str());
    std::fflush(err_);
    if (standing) {
        std::fprintf(out_, "%s", shown_.c_str());
        std::fflush(out_);
    }
}

void TProgressPrinter::End()
{
    if (terminal_ && !shown_.empty())
        std::fprintf(out_, "\n");
    shown_.clear();
    std::fflush(out_);
}
