#include "app/RunStart.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Application.h"
#include "charset/CodePage.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"

namespace {

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EFOpenError(path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

std::string ResumeQuestion(const std::vector<std::string>& Lines, const TResumePoint& Point)
{
    std::string text = Format("前回の送信は %zu 件中 %zu 件で止まっています。続きから送信しますか？", Lines.size(),
                              Point.Settled.size());
    const std::vector<int> unknown = Point.UnknownLines();
    if (unknown.empty())
        return text;
    text += "\n\n次の宛先は届いたかどうか分かりません（不明）。続きからでは送信しません:";
    for (int line : unknown) {
        const std::string entry = line >= 1 && line <= static_cast<int>(Lines.size())
                                      ? Lines[static_cast<size_t>(line - 1)]
                                      : std::string();
        text += Format("\n%d 行目: %s", line, entry.c_str());
    }
    return text;
}

TResumeChoice AskResume(const std::vector<std::string>& Lines, const TResumePoint& Point)
{
    const int choice = Application().Choose(mtInformation, ResumeQuestion(Lines, Point),
                                            {"続きから", "最初から", "キャンセル"}, rcContinue, rcCancel);
    return static_cast<TResumeChoice>(choice);
}

namespace {

// "To: " and the entry make one header line of at most 998 octets
// (RFC 5322 2.1.1); the address between "<" and ">" of RCPT TO holds at
// most 254 (RFC 5321 4.5.3.1.3).
constexpr size_t MaxEntryOctets = 994;
constexpr size_t MaxAddressOctets = 254;

// Refuses a file that cannot be sent as it is, naming the line: the list
// would end at a NUL byte, and a line too long would fail at its message.
void CheckRecipientFile(const std::string& Bytes, const std::vector<std::string>& Lines)
{
    const size_t nul = Bytes.find('\0');
    if (nul != std::string::npos) {
        // Lines end at CR LF, a lone CR or a lone LF, as the list reads them.
        int line = 1;
        for (size_t i = 0; i < nul; ++i) {
            if (Bytes[i] == '\n' || (Bytes[i] == '\r' && (i + 1 >= Bytes.size() || Bytes[i + 1] != '\n')))
                ++line;
        }
        throw Exception(Format("宛先 %d 行目: NUL 文字 (0x00) があります", line));
    }
    for (size_t i = 0; i < Lines.size(); ++i) {
        if (Lines[i].size() > MaxEntryOctets || TNMSMTP::ExtractAddress(Lines[i]).size() > MaxAddressOctets)
            throw Exception(Format("宛先 %d 行目: 長すぎて送れません", static_cast<int>(i + 1)));
    }
}

}  // namespace

std::optional<TPreparedRun> PrepareRun(const TRunRequest& Request)
{
    auto lock = std::make_unique<TRunLock>(std::filesystem::path(Request.JournalFolder).parent_path().string());
    const std::string bytes = FileBytes(Request.RecipientFile);
    TStringList list;
    std::string text;
    try {
        text = TextFileLines(bytes, list);
    } catch (ECodePageError& e) {
        e.SetMessage("宛先 " + e.Message());
        throw;
    }
    const std::vector<std::string>& lines = list.Lines();
    CheckRecipientFile(text, lines);
    const std::vector<TRecipient> recipients = CheckRecipients(lines, Request.CanCarry);

    const TRunIdentity identity{Request.RecipientFile, bytes, Request.Subject, Request.Body};
    std::optional<TResumePoint> resume = FindUnfinishedRun(Request.JournalFolder, identity);
    // With nothing settled, continuing and starting afresh are the same.
    if (resume && resume->Settled.empty()) {
        AbandonRun(Request.JournalFolder, resume->Stem);
        resume.reset();
    }
    if (resume) {
        const TResumeChoice choice = AskResume(lines, *resume);
        if (choice == rcCancel)
            return std::nullopt;
        if (choice == rcRestart) {
            AbandonRun(Request.JournalFolder, resume->Stem);
            resume.reset();
        }
    }

    std::vector<TPlanEntry> entries;
    for (const TRecipient& r : recipients)
        entries.push_back({r.Line, r.Entry, r.Sendable()});
    TPreparedRun run;
    run.Lock = std::move(lock);
    run.Identity = identity;
    run.JournalFolder = Request.JournalFolder;
    run.Resumes = resume;
    run.Plan = std::make_unique<TRunPlan>(std::move(entries), resume ? resume->Settled : std::map<int, TOutcome>{},
                                          Request.RetryDelayMs);
    run.Plan->SetPacing(int64_t{Request.PauseSeconds} * 1000);
    run.Precheck = PrecheckText(recipients);
    return run;
}

std::unique_ptr<TJournal> TPreparedRun::OpenJournal() const
{
    return std::make_unique<TJournal>(JournalFolder, Identity, std::time(nullptr), Resumes ? &*Resumes : nullptr);
}
