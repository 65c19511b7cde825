// A run's side file and the journal's writes to the disk; shared by the
// journal's writer and the search for runs, not part of the engine's face.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "engine/journal/Journal.h"

namespace journal_detail {

const char* const SideMagic = "veltrow-run 1";
const char* const SideSuffix = ".run";

// A journal file opened without following a symbolic link and without
// waiting (a FIFO would wait for its other end); -1 for anything but a
// regular file. Someone else's link or pipe in the folder is never
// written through nor waited on.
int OpenJournalFile(const std::string& path, int flags);
// The file's bytes; nothing when it cannot be read (a side file or CSV
// that is gone, unreadable or not a regular file is no run of ours).
std::optional<std::string> ReadAll(const std::string& path);
// Puts a new directory entry on the disk too, not only the file's data.
void SyncFolder(const std::string& folder);
// All of bytes, written on through signals; EStreamError naming path.
void WriteAll(int fd, const std::string& bytes, const std::string& path);
// WriteAll, then on the disk.
void WriteFully(int fd, const std::string& bytes, const std::string& path);
// One record at the end of an existing side file, on the disk on return.
void AppendRecord(const std::string& path, const std::string& record);

// A run's side file read back.
struct SideFile {
    TRunIdentity identity;
    std::string resumes;
    std::map<int, TOutcome> carried;
    // Entries whose message was going out: sent for, with neither a row nor
    // an end without delivery. One in a clean crash; the row of the one
    // before too can be missing after a power cut, since it is flushed
    // alongside the next message's commands.
    std::set<int> pending;
    // Entries held back because a file of their own was missing: the
    // identity's digest leaves their files out.
    std::set<int> held;
    bool closed = false;         // ended normally, continued or given up
    bool finished = false;       // ended normally
};

// Nothing for a file torn while it was made (a part of the first line at
// most); EBadSideFile for one that cannot be read.
std::optional<SideFile> ReadSide(const std::string& path);

}  // namespace journal_detail
