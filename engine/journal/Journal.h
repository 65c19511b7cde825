// The journal of a bulk send run: one CSV file per run in the folder
// "送信記録" beside the settings file, so that afterwards anyone can tell who
// received the message, and a crashed or stopped run can go on without
// sending anyone the message twice.
//
// The CSV (YYYYMMDD-HHMMSS.csv, "-2" and on for a second run in the same
// second) is what people open: UTF-8 with a BOM so that Excel reads it, CR LF,
// RFC 4180 quoting, the header 行,宛先,結果,サーバーの応答・理由,時刻 and one
// row per entry in the order the outcomes became known. A run that continues
// an earlier one starts with that run's settled rows, so that one file tells
// who got the message. Excel may save it back as Shift_JIS without a BOM; it
// is read in either encoding. Every record is written at
// once and put on the disk (fsync) in the background, overlapping the next
// message's commands; the run waits for it (Durable) before that message's
// final "." can deliver it, so a power cut loses at most the rows of the
// message in flight and of the one before, which then count as 不明.
//
// Beside it, YYYYMMDD-HHMMSS.run holds what the program needs and Excel must
// not see: the run's identity (recipient file path and contents, subject,
// body), the entry whose message is going out, and whether the run ended
// normally. It is a text file of records, one a line, only ever appended to,
// so that a torn last line is the worst a crash leaves.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/journal/FileSync.h"
#include "engine/journal/JournalCsv.h"
#include "engine/journal/JournalTime.h"
#include "engine/plan/RunPlan.h"

extern const char* const JournalFolderName;  // "送信記録"

// What makes two runs the same run: the same recipient file with the same
// contents, subject and body, and the same attachments.
struct TRunIdentity {
    std::string RecipientFile;
    std::string Recipients;
    std::string Subject;
    std::string Body;
    std::string Attachments;  // TRunAttachments::Digest; empty without files

    bool operator==(const TRunIdentity&) const = default;
};

struct TJournalRow {
    int Line = 0;
    std::string Entry;
    TOutcome Outcome = TOutcome::NotSent;
    std::string Reply;  // the server's whole reply; empty where there is none
    std::time_t When = 0;
};

// An earlier run of the same identity that did not end normally.
struct TResumePoint {
    std::string Stem;     // e.g. "20261207-101500"
    std::string CsvPath;
    // Lines that are not to be sent again (送信済み, 拒否, 不明), this run's
    // and those it carried over from the run it continued. The entry whose
    // message was going out at a crash counts as 不明: it may have arrived.
    std::map<int, TOutcome> Settled;
    // Their rows, to start the next run's journal with; an entry the earlier
    // journal has no row for (the one whose message was going out at a
    // crash) comes with an empty Entry.
    std::vector<TJournalRow> Rows;
    // The run attached other files (or none, or the same under other names)
    // than the one asking: continuing it sends the rest different files.
    bool OtherFiles = false;

    std::vector<int> UnknownLines() const;
};

// The journal folder beside the settings file at SettingsFile.
std::string JournalFolderBeside(const std::string& SettingsFile);

class TJournal {
public:
    // Creates the folder when needed, the CSV with its BOM and header and the
    // side file with the identity. Resumes: the run this one continues; its
    // settled lines are carried over, their rows first in the CSV, and it is
    // offered no more. Raises
    // EFCreateError naming the file that cannot be made.
    TJournal(const std::string& Folder, const TRunIdentity& Identity, std::time_t Start,
             const TResumePoint* Resumes = nullptr);
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // Before an entry's message goes out: a crash from here until its row or
    // Undelivered leaves the entry 不明. Returns the mark that Durable
    // waits for before the message's "." may deliver it.
    uint64_t Sending(int Line);
    // The attempt ended without a row and without delivery (a 4xx to retry,
    // a break before ".").
    void Undelivered(int Line);
    // Entries held back for a missing file of their own: the run's digest
    // left their files out (see FindUnfinishedRun). On the disk on return.
    void HeldBack(const std::vector<int>& Lines);
    // Appends the row; it goes on the disk in the background.
    void Write(const TJournalRow& Row);
    // Returns once everything written so far is on the disk. Raises
    // EStreamError naming the file that could not be flushed.
    void Durable();
    // Returns once the record of Mark and all before it are on the disk.
    void Durable(uint64_t Mark);
    // The run ended normally: it is offered no more. On the disk on return.
    void Finish();
    // The run never began (its connection failed): both files go, and
    // nothing more is written.
    void Discard();

    const std::string& Path() const { return csvPath_; }
    const std::string& Stem() const { return stem_; }

private:
    static std::string Record(const TJournalRow& Row);
    uint64_t Append(int Fd, const std::string& Bytes, const std::string& Path);

    std::string folder_;
    std::string stem_;
    std::string csvPath_;
    std::string sidePath_;
    int csv_ = -1;
    int side_ = -1;
    std::unique_ptr<TFileSync> sync_;
};

// The digest of this run's files with the rows of Held left out.
using TFilesWithout = std::function<std::string(const std::set<int>& Held)>;

// The newest run in Folder of this identity that neither ended normally nor
// was continued or given up; nothing when there is none. Side files that
// cannot be read are left out, and their paths added to Unreadable. A run
// that held rows back for their missing files matches when its digest is
// FilesWithout of those rows: the files may have come since.
std::optional<TResumePoint> FindUnfinishedRun(const std::string& Folder, const TRunIdentity& Identity,
                                              std::vector<std::string>* Unreadable = nullptr,
                                              const TFilesWithout& FilesWithout = {});
// The same for a run of Identity's list, subject and body whose files were
// other than Identity's (OtherFiles set): a restart that lost the files, or
// a file changed since, must not pass for a new mailing unasked.
std::optional<TResumePoint> FindUnfinishedRunOtherFiles(const std::string& Folder, const TRunIdentity& Identity);
// The stem of the newest run in Folder of this identity that ended normally:
// the message already went to that list.
std::optional<std::string> FindFinishedRun(const std::string& Folder, const TRunIdentity& Identity);
// The user chose to start afresh: the run is offered no more.
void AbandonRun(const std::string& Folder, const std::string& Stem);
