// The profile folder: where Veltrow keeps 設定.txt, 信頼する証明書.txt,
// 送信記録/ and the window's last input. One rule for the window and for
// veltrow-send, so both find the same settings and journal.
//
// In order: --profile DIR; else, started from a terminal in a folder that
// already holds 設定.txt, that folder (as before there was a profile);
// else ~/Veltrow. The desktop entry passes --menu, which skips the working
// folder: a menu start's working folder is wherever the desktop was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rtl/Exception.h"

extern const char* const ProfileFolderName;  // "Veltrow", in the home folder

struct TProfileRequest {
    std::optional<std::string> Profile;  // --profile DIR
    bool FromMenu = false;               // --menu
};

// A --profile without a folder, or a folder that cannot be made.
class EProfileError : public Exception {
public:
    using Exception::Exception;
};

// Takes --profile DIR, --profile=DIR and --menu out of Args (without the
// program's name) and leaves the rest in their order.
TProfileRequest TakeProfileOptions(std::vector<std::string>& Args);

// The folder the rule picks, as an absolute path; a relative --profile is
// taken from WorkingFolder. Looks only for 設定.txt; creates nothing.
std::string ChooseProfileFolder(const TProfileRequest& Request, const std::string& WorkingFolder,
                                const std::string& HomeFolder);

// The rule with the process's working folder and the user's home; the
// folder is created when missing (a first start).
std::string OpenProfileFolder(const TProfileRequest& Request);
