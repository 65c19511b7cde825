#include "engine/Journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "engine/JournalCsv.h"
#include "engine/JournalEscape.h"
#include "engine/SideFile.h"
#include "charset/CodePage.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"

const char* const JournalFolderName = "送信記録";

using journal_detail::Bom;
using journal_detail::CsvSuffix;
using journal_detail::CsvText;
using journal_detail::EBadSideFile;
using journal_detail::AppendRecord;
using journal_detail::Escape;
using journal_detail::ReadAll;
using journal_detail::ReadSide;
using journal_detail::SideFile;
using journal_detail::SideMagic;
using journal_detail::SideSuffix;
using journal_detail::SyncFolder;
using journal_detail::WriteAll;
using journal_detail::WriteFully;

namespace {

const char* const CsvHeader = "行,宛先,結果,サーバーの応答・理由,時刻";

// Stems in the order the runs started: "-2" after the plain stem, "-10" after "-9".
bool StartedBefore(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& s) {
        const size_t dash = s.find('-', 9);
        return std::pair(s.substr(0, dash), dash == std::string::npos ? 1 : std::atoi(s.c_str() + dash + 1));
    };
    return split(a) < split(b);
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<int> TResumePoint::UnknownLines() const
{
    std::vector<int> out;
    for (const auto& [line, outcome] : Settled)
        if (outcome == TOutcome::Unknown)
            out.push_back(line);
    return out;
}

std::string JournalFolderBeside(const std::string& SettingsFile)
{
    const std::filesystem::path dir = std::filesystem::absolute(SettingsFile).parent_path();
    return (dir / JournalFolderName).string();
}

// ---------------------------------------------------------------------------

TJournal::TJournal(const std::string& Folder, const TRunIdentity& Identity, std::time_t Start,
                   const TResumePoint* Resumes)
    : folder_(Folder), sync_(std::make_unique<TFileSync>())
{
    if (::mkdir(Folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw EFCreateError(Folder);
    const std::string base = RunStem(Start);
    for (int n = 1; csv_ < 0; ++n) {
        stem_ = n == 1 ? base : base + "-" + std::to_string(n);
        csvPath_ = Folder + "/" + stem_ + CsvSuffix;
        sidePath_ = Folder + "/" + stem_ + SideSuffix;
        if (::access(sidePath_.c_str(), F_OK) == 0)
            continue;
        csv_ = ::open(csvPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (csv_ < 0 && errno != EEXIST)
            throw EFCreateError(csvPath_);
    }
    side_ = ::open(sidePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (side_ < 0)
        throw EFCreateError(sidePath_);

    std::string side = std::string(SideMagic) + "\n";
    side += "file " + Escape(Identity.RecipientFile) + "\n";
    side += "recipients " + Escape(Identity.Recipients) + "\n";
    side += "subject " + Escape(Identity.Subject) + "\n";
    side += "body " + Escape(Identity.Body) + "\n";
    // Left out without files, so that runs of older versions still match.
    if (!Identity.Attachments.empty())
        side += "attachments " + Escape(Identity.Attachments) + "\n";
    if (Resumes) {
        side += "resumes " + Escape(Resumes->Stem) + "\n";
        for (const auto& [line, outcome] : Resumes->Settled)
            side += "carried " + std::to_string(line) + " " + OutcomeWord(outcome) + "\n";
    }
    WriteFully(side_, side, sidePath_);
    std::string csv = std::string(Bom) + CsvHeader + "\r\n";
    if (Resumes)
        for (const TJournalRow& row : Resumes->Rows)
            csv += Record(row);
    WriteFully(csv_, csv, csvPath_);
    SyncFolder(Folder);
    // Only now that this run carries them may the earlier one close.
    if (Resumes)
        AppendRecord(Folder + "/" + Resumes->Stem + SideSuffix, "continued " + Escape(stem_) + "\n");
}

TJournal::~TJournal()
{
    sync_.reset();  // flushes what is left, before the files close
    ::close(csv_);
    ::close(side_);
}

uint64_t TJournal::Append(int Fd, const std::string& Bytes, const std::string& Path)
{
    WriteAll(Fd, Bytes, Path);
    return sync_->Appended(Fd, Path);
}

void TJournal::Durable()
{
    sync_->Durable();
}

void TJournal::Durable(uint64_t Mark)
{
    sync_->Durable(Mark);
}

uint64_t TJournal::Sending(int Line)
{
    return Append(side_, "sending " + std::to_string(Line) + "\n", sidePath_);
}

void TJournal::Undelivered(int Line)
{
    Append(side_, "undelivered " + std::to_string(Line) + "\n", sidePath_);
}

std::string TJournal::Record(const TJournalRow& Row)
{
    // A row carried over without a time of its own stays without one.
    return CsvRecord({std::to_string(Row.Line), Row.Entry, OutcomeWord(Row.Outcome), Row.Reply,
                      Row.When ? JournalTime(Row.When) : std::string()});
}

void TJournal::Write(const TJournalRow& Row)
{
    Append(csv_, Record(Row), csvPath_);
}

void TJournal::Finish()
{
    Append(side_, "finished\n", sidePath_);
    Durable();
}

void TJournal::Discard()
{
    sync_.reset();
    ::close(std::exchange(csv_, -1));
    ::close(std::exchange(side_, -1));
    ::unlink(csvPath_.c_str());
    ::unlink(sidePath_.c_str());
}

// ---------------------------------------------------------------------------

namespace {

// Each(stem, side) for every side file in Folder that can be read. Only a
// regular file is opened (a FIFO would wait for a writer); one that cannot
// be read is named in Unreadable and never used.
template <typename F>
void ForEachSide(const std::string& Folder, std::vector<std::string>* Unreadable, F Each)
{
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(Folder, error)) {
        if (item.path().extension() != SideSuffix || !item.is_regular_file(error))
            continue;
        std::optional<SideFile> read;
        try {
            read = ReadSide(item.path().string());
        } catch (const EBadSideFile&) {
            if (Unreadable)
                Unreadable->push_back(item.path().string());
            continue;
        }
        if (read)
            Each(item.path().stem().string(), *read);
    }
}

}  // namespace

std::optional<TResumePoint> FindUnfinishedRun(const std::string& Folder, const TRunIdentity& Identity,
                                              std::vector<std::string>* Unreadable)
{
    std::optional<std::string> newest;
    SideFile side;
    ForEachSide(Folder, Unreadable, [&](const std::string& stem, SideFile& read) {
        if (!read.closed && read.identity == Identity && (!newest || StartedBefore(*newest, stem))) {
            newest = stem;
            side = std::move(read);
        }
    });
    if (!newest)
        return std::nullopt;

    TResumePoint point;
    point.Stem = *newest;
    point.CsvPath = Folder + "/" + *newest + CsvSuffix;
    point.Settled = side.carried;
    // Line -> the row's place in the file and the row; a line's last row counts.
    std::map<int, std::pair<size_t, TJournalRow>> rows;
    size_t order = 0;
    for (const auto& record : ParseCsv(CsvText(ReadAll(point.CsvPath).value_or("")))) {
        if (record.size() < 3)
            continue;
        const int line = std::atoi(record[0].c_str());
        const auto outcome = OutcomeFromWord(record[2]);
        if (line <= 0 || !outcome)
            continue;  // the header, or a row someone edited beyond reading
        const std::string reply = record.size() > 3 ? record[3] : "";
        const std::time_t when = record.size() > 4 ? ParseJournalTime(record[4]).value_or(0) : 0;
        rows[line] = {order++, {line, record[1], *outcome, reply, when}};
    }
    std::vector<std::pair<size_t, TJournalRow>> settled;
    for (const auto& [line, row] : rows)
        if (IsSettled(row.second.Outcome)) {
            point.Settled[line] = row.second.Outcome;
            settled.push_back(row);
        }
    std::sort(settled.begin(), settled.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& row : settled)
        point.Rows.push_back(std::move(row.second));
    for (const auto& [line, outcome] : side.carried)
        if (!rows.contains(line))
            point.Rows.push_back({line, "", outcome, "", 0});
    // The entry whose message was going out: the run stopped when its side
    // file was last written.
    struct stat st {};
    const std::time_t stopped = ::stat((Folder + "/" + *newest + SideSuffix).c_str(), &st) == 0 ? st.st_mtime : 0;
    for (int line : side.pending)
        if (!rows.contains(line) && !side.carried.contains(line)) {
            point.Settled[line] = TOutcome::Unknown;
            point.Rows.push_back({line, "", TOutcome::Unknown, "", stopped});
        }
    return point;
}

void AbandonRun(const std::string& Folder, const std::string& Stem)
{
    AppendRecord(Folder + "/" + Stem + SideSuffix, "abandoned\n");
}

std::optional<std::string> FindFinishedRun(const std::string& Folder, const TRunIdentity& Identity)
{
    std::optional<std::string> newest;
    ForEachSide(Folder, nullptr, [&](const std::string& stem, const SideFile& side) {
        if (side.finished && side.identity == Identity && (!newest || StartedBefore(*newest, stem)))
            newest = stem;
    });
    return newest;
}
