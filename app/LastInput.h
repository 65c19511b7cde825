// The main window's last recipient file, subject, attachments and body, kept
// between starts in "前回の入力.txt" in the profile folder: an office sends
// the same kind of notice again and again, and a run stopped before a
// restart is continued only with the same files.
//
// The file is UTF-8: a first line LastInputSignature, then the recipient
// file, the subject, the number of attachments, one line per attachment's
// full path, and the rest the body as typed. A file without the first line
// (as versions before the attachments wrote it) holds the recipient file,
// the subject and the body alone.
#pragma once

#include <optional>
#include <string>

class TForm1;

#include <vector>

extern const char* const LastInputFileName;  // "前回の入力.txt"
extern const char* const LastInputSignature;

struct TLastInput {
    std::string RecipientFile;
    std::string Subject;
    std::string Body;
    std::vector<std::string> Attachments;
};

// Nothing when the file does not exist or cannot be read.
std::optional<TLastInput> ReadLastInput(const std::string& Path);
// Replaces the file whole or not at all; false when it cannot be written.
bool WriteLastInput(const std::string& Path, const TLastInput& Input);

// The window's fields into the file in the profile folder; a failure to
// write is not the user's concern at Send or close and is let go.
void RememberInput(const TForm1& Form);
// Fills the fields from the file in the profile folder; without the file
// they stay as they are.
void RestoreInput(TForm1& Form);
