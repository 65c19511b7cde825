#include "engine/journal/Journal.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "engine/journal/JournalCsv.h"
#include "engine/journal/JournalEscape.h"
#include "engine/journal/SideFile.h"
#include "rtl/Exception.h"

const char* const JournalFolderName = "送信記録";

using journal_detail::AppendRecord;
using journal_detail::Bom;
using journal_detail::CsvSuffix;
using journal_detail::Escape;
using journal_detail::SideMagic;
using journal_detail::SideSuffix;
using journal_detail::SyncFolder;
using journal_detail::WriteAll;
using journal_detail::WriteFully;

namespace {

const char* const CsvHeader = "行,宛先,結果,サーバーの応答・理由,時刻";

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
        csv_ = ::open(csvPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (csv_ < 0 && errno != EEXIST)
            throw EFCreateError(csvPath_);
    }
    side_ = ::open(sidePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
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

void TJournal::HeldBack(const std::vector<int>& Lines)
{
    std::string records;
    for (int line : Lines)
        records += "held " + std::to_string(line) + "\n";
    if (records.empty())
        return;
    Append(side_, records, sidePath_);
    Durable();
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
