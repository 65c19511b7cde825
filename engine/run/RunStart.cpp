#include "engine/run/RunStart.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>

#include "engine/run/FrontEnd.h"
#include "engine/list/RecipientSource.h"
#include "charset/CodePage.h"
#include "rtl/Exception.h"
#include "rtl/RegularFile.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

std::string ResumeQuestion(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point)
{
    std::string text = Format("前回の送信は %zu 件中 %zu 件で止まっています。", Lines.size(), Point.Settled.size());
    if (Point.OtherFiles)
        text += "ただし、添付ファイルが前回と違います（増えたか減ったか、名前か中身が変わっています）。"
                "続きからでは、残りの宛先に今の添付ファイルで送信します。前回と同じファイルで送るには、"
                "キャンセルしてファイルを添付し直してください。";
    text += "続きから送信しますか？";
    const std::vector<int> unknown = Point.UnknownLines();
    if (unknown.empty())
        return text;
    text += "\n\n次の宛先は届いたかどうか分かりません（不明）。続きからでは送信しません:";
    for (int line : unknown) {
        const TPlanEntry* at = EntryAt(Lines, line);
        const std::string entry = at ? at->Entry : std::string();
        text += Format("\n%d 行目: %s", line, entry.c_str());
    }
    return text;
}

namespace {

// "To: " and the entry make one header line of at most 998 octets
// (RFC 5322 2.1.1); the address between "<" and ">" of RCPT TO holds at
// most 254 (RFC 5321 4.5.3.1.3).
constexpr size_t MaxEntryOctets = 994;
constexpr size_t MaxAddressOctets = 254;
// Between two looks at the user's Abort.
constexpr size_t ReadChunk = size_t{1} << 20;
constexpr size_t LinesPerLook = size_t{1} << 16;
constexpr auto AnswerEvery = std::chrono::milliseconds(50);

const char* const Bom = "\xEF\xBB\xBF";

// The user stopped the run while the list was read.
struct EStopped {};

void Look(const std::atomic<bool>& Stop)
{
    if (Stop.load(std::memory_order_relaxed))
        throw EStopped();
}

const char* FileKind(mode_t Mode)
{
    if (S_ISFIFO(Mode))
        return "名前付きパイプ";
    if (S_ISDIR(Mode))
        return "フォルダ";
    if (S_ISCHR(Mode) || S_ISBLK(Mode))
        return "デバイス";
    if (S_ISSOCK(Mode))
        return "ソケット";
    return "特殊なファイル";
}

// The file's bytes, read once; only a regular file is read.
std::string ReadListBytes(const std::string& Path, const std::atomic<bool>& Stop)
{
    TRegularFile file(Path);
    if (file.Error() != 0)
        throw EFOpenError(Path);
    if (!file.Regular())
        throw EStreamError(Format("宛先ファイル %s は通常のファイルではありません（%s）。宛先を 1 行に 1 件書いたテキストファイルを選んでください",
                                  Path.c_str(), FileKind(file.Mode())));
    std::string bytes;
    bytes.reserve(static_cast<size_t>(file.Size()) + ReadChunk);
    for (;;) {
        Look(Stop);
        const size_t at = bytes.size();
        bytes.resize(at + ReadChunk);
        const ssize_t n = file.Read(bytes.data() + at, ReadChunk);
        bytes.resize(at + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0)
            throw EStreamError(Format("宛先ファイル %s を読めません", Path.c_str()));
        if (n == 0)
            return bytes;
    }
}

// Refuses a file that cannot be sent as it is, naming the line: the list
// would end at a NUL byte, and a line too long would fail at its message.
// Lines end at CR LF, a lone CR or a lone LF, as the list reads them. A line
// is no shorter in UTF-8 than in CP932, so a raw line too long is too long.
void CheckListBytes(const std::string& Bytes, const std::atomic<bool>& Stop)
{
    int line = 1;
    size_t start = Bytes.starts_with(Bom) ? 3 : 0;
    for (size_t i = start; i < Bytes.size(); ++i) {
        if (i % ReadChunk == 0)
            Look(Stop);
        const char c = Bytes[i];
        if (c == '\0')
            throw Exception(Format("宛先 %d 行目: NUL 文字 (0x00) があります", line));
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < Bytes.size() && Bytes[i + 1] == '\n')
                ++i;
            ++line;
            start = i + 1;
        } else if (i - start >= MaxEntryOctets) {
            throw Exception(Format("宛先 %d 行目: 長すぎて送れません", line));
        }
    }
}

struct TListFile {
    std::string Bytes;
    std::vector<TPlanEntry> Entries;  // not checked yet
    std::optional<TListTable> Table;  // a CSV, TSV or Excel list: no Entries yet
};

// Calls Each(line) for every line of the file's bytes, the BOM left out.
template <typename F>
void ForEachLine(const std::string& Bytes, const std::atomic<bool>& Stop, F Each)
{
    size_t count = 0;
    for (size_t i = Bytes.starts_with(Bom) ? 3 : 0; i < Bytes.size(); ++count) {
        if (count % LinesPerLook == 0)
            Look(Stop);
        size_t end = Bytes.find_first_of("\r\n", i);
        if (end == std::string::npos)
            end = Bytes.size();
        Each(std::string_view(Bytes).substr(i, end - i));
        i = end + (Bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
}

void CheckLength(const std::string& Entry, size_t Index)
{
    if (Entry.size() > MaxEntryOctets || ParseEntry(Entry).Address.size() > MaxAddressOctets)
        throw Exception(Format("宛先 %zu 行目: 長すぎて送れません", Index + 1));
}

// The checked lines become the entries, each line freed as soon as its
// entry holds it.
void TakeLines(TStringList& List, std::vector<TPlanEntry>& Entries, const std::atomic<bool>& Stop)
{
    Look(Stop);
    for (int i = 0; i < List.Count(); ++i)
        CheckLength(List[i], static_cast<size_t>(i));
    Entries.resize(static_cast<size_t>(List.Count()));
    for (int i = List.Count() - 1; i >= 0; --i) {
        Entries[static_cast<size_t>(i)] = {i + 1, List[i], true};
        List.Delete(i);
    }
}

bool Utf16Marked(const std::string& Bytes)
{
    return Bytes.starts_with("\xFF\xFE") || Bytes.starts_with("\xFE\xFF");
}

TListFile ReadListText(const std::string& Path, const std::atomic<bool>& Stop)
{
    TListFile file;
    file.Bytes = ReadListBytes(Path, Stop);
    // UTF-16 (Excel's 「Unicode テキスト」) is checked as the UTF-8 it becomes:
    // its own bytes hold a NUL in every ASCII character.
    if (Utf16Marked(file.Bytes)) {
        TStringList list;
        CheckListBytes(TextFileLines(file.Bytes, list), Stop);
        TakeLines(list, file.Entries, Stop);
        return file;
    }
    CheckListBytes(file.Bytes, Stop);
    std::vector<TPlanEntry>& entries = file.Entries;
    // ASCII reads the same in every encoding; for the rest the text reader
    // decides. Its lines are let go of as soon as they are not needed: a
    // long list is held as few times as can be.
    if (!IsAscii(file.Bytes)) {
        TStringList list;
        ForEachLine(file.Bytes, Stop, [&list](std::string_view line) { list.Add(std::string(line)); });
        // A UTF-8 mark settles the code page: the lines are taken as they are.
        if (file.Bytes.starts_with(Bom))
            CheckUtf8Lines(list);
        else
            RefuseMixedLines(list);
        if (!file.Bytes.starts_with(Bom) && LinesToUtf8(list)) {
            TakeLines(list, entries, Stop);
            return file;
        }
    }
    size_t count = 0;
    ForEachLine(file.Bytes, Stop, [&count](std::string_view) { ++count; });
    entries.reserve(count);
    ForEachLine(file.Bytes, Stop, [&entries](std::string_view line) {
        entries.push_back({static_cast<int>(entries.size()) + 1, std::string(line), true});
        CheckLength(entries.back().Entry, entries.size() - 1);
    });
    return file;
}

// The list's entries, its decoding errors named as the list's.
TListFile ReadList(const std::string& Path, const std::atomic<bool>& Stop)
{
    try {
        if (std::optional<TListTable> table = ReadListTable(Path)) {
            TListFile file;
            file.Table = std::move(table);
            // The run's identity holds the file as it is, whatever its format.
            file.Bytes = ReadListBytes(Path, Stop);
            return file;
        }
        return ReadListText(Path, Stop);
    } catch (ECodePageError& e) {
        e.SetMessage("宛先 " + e.Message());
        throw;
    }
}

// ReadList on a thread of its own while the window keeps answering; nothing
// when the user stopped the run meanwhile.
std::optional<TListFile> ReadListAnswering(const std::string& Path, const std::function<bool()>& KeepAnswering)
{
    TListFile file;
    try {
        if (!WorkAnswering([&](const std::atomic<bool>& Stop) { file = ReadList(Path, Stop); }, KeepAnswering))
            return std::nullopt;
    } catch (const EStopped&) {
        return std::nullopt;
    }
    return file;
}

// The journal's reason beside 配信停止.
const char* const OptedOutReason = "配信停止.txt にあるアドレスです";

// Sendable entries whose address is on the opt-out list get 配信停止.
void MarkOptedOut(std::vector<TPlanEntry>& Entries, const std::function<bool(const std::string&)>& OptedOut)
{
    if (!OptedOut)
        return;
    for (TPlanEntry& e : Entries)
        if (e.Sendable && OptedOut(ParseEntry(e.Entry).Address)) {
            e.OptedOut = true;
            e.Problem = OptedOutReason;
        }
}

// Sendable entries not opted out whose address an earlier one has (letter
// case aside) get that entry's line.
void MarkDuplicates(std::vector<TPlanEntry>& Entries, const TRecipientSource& Source)
{
    std::unordered_map<std::string, int> first;
    for (TPlanEntry& e : Entries) {
        if (!e.Sendable || e.OptedOut)
            continue;
        const std::optional<TRecipientSource::TRow> row = Source.Row(e);
        const auto [at, added] = first.emplace(LowerCase(row ? row->Address : ParseEntry(e.Entry).Address), e.Line);
        if (!added)
            e.DuplicateOf = at->second;
    }
}

// Gives every entry its verdict; false when the user stopped the run meanwhile.
bool CheckEntries(std::vector<TPlanEntry>& Entries, const TRunRequest& Request)
{
    auto looked = std::chrono::steady_clock::now();
    for (size_t i = 0; i < Entries.size(); ++i) {
        TPlanEntry& e = Entries[i];
        e.Problem = EntryProblem(e.Entry, Request.CanCarry);
        e.Sendable = e.Problem == nullptr;
        if (i % 1024 == 0 && Request.KeepAnswering && std::chrono::steady_clock::now() - looked > AnswerEvery) {
            if (!Request.KeepAnswering())
                return false;
            looked = std::chrono::steady_clock::now();
        }
    }
    return true;
}

}  // namespace

bool WorkAnswering(const std::function<void(const std::atomic<bool>& Stop)>& Work,
                   const std::function<bool()>& KeepAnswering)
{
    std::atomic<bool> stop{false};
    if (!KeepAnswering) {
        Work(stop);
        return true;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            Work(stop);
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        done = true;
        changed.notify_one();
    });
    for (;;) {
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, AnswerEvery, [&] { return done; }))
            break;
        lock.unlock();
        if (!stop && !KeepAnswering())
            stop = true;
    }
    worker.join();
    if (stop)
        return false;
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

std::optional<TCheckedList> ReadCheckedList(const TRunRequest& Request)
{
    std::optional<TListFile> file = ReadListAnswering(Request.RecipientFile, Request.KeepAnswering);
    if (!file)
        return std::nullopt;
    TCheckedList list;
    std::vector<TPlanEntry>& entries = list.Entries;
    entries = std::move(file->Entries);
    list.Bytes = std::move(file->Bytes);
    std::shared_ptr<TRecipientSource> source =
        file->Table ? std::make_shared<TRecipientSource>(std::move(*file->Table), Request.Subject, Request.Body)
                    : std::make_shared<TRecipientSource>(Request.Subject, Request.Body);
    file.reset();
    if (const std::string refusal = source->Refusal(); !refusal.empty())
        throw Exception(refusal);
    if (source->IsTable())
        entries = source->TableEntries(Request.CanCarry);
    else if (!CheckEntries(entries, Request))
        return std::nullopt;
    else
        source->CheckMerged(entries, Request.CanCarry);
    MarkOptedOut(entries, Request.OptedOut);
    MarkDuplicates(entries, *source);
    if (entries.empty())
        throw Exception(Format("宛先ファイル %s に宛先がありません", Request.RecipientFile.c_str()));
    list.Source = std::move(source);
    return list;
}

namespace {

// The unfinished run of the same identity that this one continues, as the
// user chose; false when the Send ends here (cancelled, or nothing to resume).
bool ChooseResume(const TRunRequest& Request, const TRunIdentity& Identity, const std::vector<TPlanEntry>& Entries,
                  std::optional<TResumePoint>& Resume)
{
    std::vector<std::string> unreadable;
    Resume = FindUnfinishedRun(Request.JournalFolder, Identity, &unreadable, Request.FilesWithout);
    if (!Resume)
        Resume = FindUnfinishedRunOtherFiles(Request.JournalFolder, Identity);
    if (!unreadable.empty()) {
        std::string text = "送信記録の次のファイルは読めないため、続きからの送信には使いません:";
        for (const std::string& path : unreadable)
            text += "\n" + path;
        if (Request.FrontEnd)
            Request.FrontEnd->Inform(text);
    }
    if (!Resume && Request.OnlyUnfinished) {
        if (Request.FrontEnd)
            Request.FrontEnd->NothingToResume();
        return false;
    }
    // With nothing settled, continuing and starting afresh are the same.
    if (Resume && Resume->Settled.empty()) {
        if (!Request.KeepUnfinished)
            AbandonRun(Request.JournalFolder, Resume->Stem);
        Resume.reset();
    }
    if (Resume) {
        const TResumeChoice choice = Request.FrontEnd ? Request.FrontEnd->AskResume(Entries, *Resume) : rcContinue;
        if (choice == rcCancel)
            return false;
        if (choice == rcRestart) {
            if (!Request.KeepUnfinished)
                AbandonRun(Request.JournalFolder, Resume->Stem);
            Resume.reset();
        }
    }
    if (Resume)
        for (TJournalRow& row : Resume->Rows)
            if (const TPlanEntry* at = EntryAt(Entries, row.Line); row.Entry.empty() && at)
                row.Entry = at->Entry;
    return true;
}

}  // namespace

std::optional<TPreparedRun> PrepareRun(const TRunRequest& Request)
{
    auto lock = std::make_unique<TRunLock>(std::filesystem::path(Request.JournalFolder).parent_path().string());
    std::optional<TCheckedList> list = ReadCheckedList(Request);
    if (!list)
        return std::nullopt;
    std::vector<TPlanEntry>& entries = list->Entries;
    if (std::none_of(entries.begin(), entries.end(), [](const TPlanEntry& e) { return e.Sendable; }))
        throw Exception(Format("宛先ファイル %s に送信できる宛先がありません: ", Request.RecipientFile.c_str()) +
                        InvalidText(entries));

    if (const std::vector<TEmptyField> empty = list->Source->EmptyFields(entries);
        !empty.empty() && Request.FrontEnd && !Request.FrontEnd->ConfirmEmptyFields(EmptyFieldsQuestion(empty)))
        return std::nullopt;

    std::string attachments = Request.RowFiles ? Request.RowFiles(*list->Source) : Request.Attachments;
    TRunIdentity identity{Request.RecipientFile, std::move(list->Bytes), Request.Subject, Request.Body,
                          std::move(attachments)};
    std::optional<TResumePoint> resume;
    if (!ChooseResume(Request, identity, entries, resume))
        return std::nullopt;

    TPreparedRun run;
    run.Lock = std::move(lock);
    run.Source = std::move(list->Source);
    run.Precheck = InvalidText(entries);
    if (!run.Precheck.empty())
        run.Precheck += "は送信しません";
    run.Identity = std::move(identity);
    run.JournalFolder = Request.JournalFolder;
    run.Resumes = resume;
    if (resume)
        for (const TPlanEntry& e : entries)
            if (const auto settled = resume->Settled.find(e.Line);
                settled != resume->Settled.end() && settled->second == TOutcome::Sent)
                run.CarriedSent.push_back(e);
    run.Plan = std::make_unique<TRunPlan>(std::move(entries), resume ? resume->Settled : std::map<int, TOutcome>{},
                                          Request.RetryDelayMs);
    run.Plan->SetPacing(int64_t{Request.PauseSeconds} * 1000);
    return run;
}

std::unique_ptr<TJournal> TPreparedRun::OpenJournal() const
{
    auto journal =
        std::make_unique<TJournal>(JournalFolder, Identity, std::time(nullptr), Resumes ? &*Resumes : nullptr);
    std::vector<int> held;
    for (const TPlanEntry& e : Plan->Entries())
        if (e.Sendable && !e.OptedOut && e.Held == TOutcome::NotSent)
            held.push_back(e.Line);
    journal->HeldBack(held);
    return journal;
}
