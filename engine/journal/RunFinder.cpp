#include "engine/journal/Journal.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <utility>

#include "engine/journal/JournalCsv.h"
#include "engine/journal/JournalEscape.h"
#include "engine/journal/SideFile.h"

using journal_detail::AppendRecord;
using journal_detail::CsvSuffix;
using journal_detail::CsvText;
using journal_detail::EBadSideFile;
using journal_detail::ReadAll;
using journal_detail::ReadSide;
using journal_detail::SideFile;
using journal_detail::SideSuffix;

namespace {

// Stems in the order the runs started: "-2" after the plain stem, "-10" after "-9".
bool StartedBefore(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& s) {
        const size_t dash = s.find('-', 9);
        return std::pair(s.substr(0, dash), dash == std::string::npos ? 1 : std::atoi(s.c_str() + dash + 1));
    };
    return split(a) < split(b);
}

// Each(stem, side) for every side file in Folder that can be read. Only a
// regular file is opened (a FIFO would wait for a writer); one that cannot
// be read is named in Unreadable and never used.
template <typename F>
void ForEachSide(const std::string& Folder, std::vector<std::string>* Unreadable, F Each)
{
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(Folder, error)) {
        // A symbolic link goes on to be refused as unreadable: it is named.
        if (item.path().extension() != SideSuffix || (!item.is_symlink(error) && !item.is_regular_file(error)))
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

// A journal's rows by line, each with its place in the file; a line's
// last row counts.
std::map<int, std::pair<size_t, TJournalRow>> JournalRows(const std::string& Csv)
{
    std::map<int, std::pair<size_t, TJournalRow>> rows;
    size_t order = 0;
    for (const auto& record : ParseCsv(CsvText(Csv))) {
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
    return rows;
}

// The newest unfinished run whose identity (and rows held back) Matches.
template <typename M>
std::optional<TResumePoint> FindUnfinished(const std::string& Folder, std::vector<std::string>* Unreadable,
                                           M Matches)
{
    std::optional<std::string> newest;
    SideFile side;
    ForEachSide(Folder, Unreadable, [&](const std::string& stem, SideFile& read) {
        if (!read.closed && (!newest || StartedBefore(*newest, stem)) && Matches(read.identity, read.held)) {
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
    // Without its rows the run cannot tell who has the message already:
    // it is offered no more than an unreadable side file is.
    const std::optional<std::string> csv = ReadAll(point.CsvPath);
    if (!csv) {
        if (Unreadable)
            Unreadable->push_back(point.CsvPath);
        return std::nullopt;
    }
    const std::map<int, std::pair<size_t, TJournalRow>> rows = JournalRows(*csv);
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

}  // namespace

std::optional<TResumePoint> FindUnfinishedRun(const std::string& Folder, const TRunIdentity& Identity,
                                              std::vector<std::string>* Unreadable, const TFilesWithout& FilesWithout)
{
    return FindUnfinished(Folder, Unreadable, [&](const TRunIdentity& Run, const std::set<int>& Held) {
        if (Run == Identity)
            return true;
        TRunIdentity files = Identity;
        files.Attachments = Run.Attachments;
        return !Held.empty() && FilesWithout && Run == files && Run.Attachments == FilesWithout(Held);
    });
}

std::optional<TResumePoint> FindUnfinishedRunOtherFiles(const std::string& Folder, const TRunIdentity& Identity)
{
    std::optional<TResumePoint> point = FindUnfinished(Folder, nullptr, [&](const TRunIdentity& Run, const std::set<int>&) {
        return Run.Attachments != Identity.Attachments && Run.RecipientFile == Identity.RecipientFile
               && Run.Recipients == Identity.Recipients && Run.Subject == Identity.Subject && Run.Body == Identity.Body;
    });
    if (point)
        point->OtherFiles = true;
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
