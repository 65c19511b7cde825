// The files a run attaches: the window's go with every message, a list's
// 添付ファイル column adds files per row. All are checked before anything
// connects; each distinct file is named, typed and encoded once per run, and
// every message streams the encoded form, so a run holds no file in memory.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "smtp/NMsmtp.h"

using TParts = std::vector<std::shared_ptr<const TEncodedAttachment>>;

// The window's warning about large messages: above this the providers'
// limits come near (Gmail 25 MB, Microsoft 365 35 MB, encoded).
constexpr int64_t LargeMessageBytes = 10 * 1000 * 1000;

// "12.3 MB" for the user's texts; "850 KB" below a megabyte.
std::string MegabytesText(int64_t Bytes);

class TRunAttachments {
public:
    // Every: files of every message. PerRow: files of the row with that line
    // number; a relative path counts from ListFolder. Checks each file (it
    // exists, is a regular file and can be read to its end) and reads each
    // once for the digest. A file of Every that fails raises EStreamError
    // naming its path; a row whose own file fails is set aside (Unreadable),
    // its files neither in its message nor in the digest.
    TRunAttachments(const std::vector<std::string>& Every, const std::map<int, std::vector<std::string>>& PerRow,
                    const std::string& ListFolder);
    ~TRunAttachments();
    TRunAttachments(const TRunAttachments&) = delete;
    TRunAttachments& operator=(const TRunAttachments&) = delete;

    bool Empty() const { return files_.empty(); }

    // A row's own file as the check before connecting sees it.
    struct TRowFile {
        int Line = 0;
        std::string Path;    // as the row gives it, relative ones from the list's folder
        std::string Reason;  // Unreadable: 「添付ファイル … がありません」 and the like
    };
    // Rows set aside because a file of their own cannot be attached, one
    // entry per such file, by line.
    const std::vector<TRowFile>& Unreadable() const { return unreadable_; }
    // Files of rows that lie outside the list's folder once ".." and symbolic
    // links are resolved (Reason: where they lead).
    const std::vector<TRowFile>& Outside() const { return outside_; }
    // The digest as it would be with the rows of Lines having no files of
    // their own (each file read again).
    std::string DigestWithout(const std::set<int>& Lines) const;
    // SHA-256 over every file's place, name and contents, as hex; empty
    // without files. Two runs with the same digest attach the same bytes
    // under the same names to the same rows.
    const std::string& Digest() const { return digest_; }

    // The parts of row Line's message, encoded (each file once while more
    // than one row needs it; a row's own file only for its message).
    TParts Parts(int Line);
    // The same parts with their sizes only, nothing encoded: for MessageSize.
    TParts Sized(int Line) const;
    // The row of those in Lines whose parts are largest (the first of Lines
    // when no row has files of its own).
    int Heaviest(const std::vector<int>& Lines) const;

private:
    struct TFile;
    std::shared_ptr<const TEncodedAttachment> Encoded(TFile& File);
    std::vector<TFile*> FilesOf(int Line) const;
    // Sets aside the rows whose own files cannot be attached and notes the
    // files outside the list's folder; the others' paths go to rowPaths_.
    void SortRows(const std::map<int, std::vector<std::string>>& PerRow);

    std::vector<std::unique_ptr<TFile>> files_;
    std::vector<TFile*> every_;
    std::map<int, std::vector<TFile*>> perRow_;
    std::string digest_;
    std::vector<TRowFile> unreadable_;
    std::vector<TRowFile> outside_;
    // What the run was made of, for DigestWithout.
    std::vector<std::string> everyPaths_;
    std::map<int, std::vector<std::string>> rowPaths_;
    std::string listFolder_;
    // Encoded files only one row carries, dropped once another row's parts are asked for.
    std::vector<TFile*> rowOwn_;
};
