// The folder a user's sending lives in: the settings file, the certificates
// the user chose to trust, the journal of every run and the lock that keeps
// two senders off one run. The window uses the working folder; the command
// line takes --profile; tests a scratch folder of their own.
#pragma once

#include <string>

struct TProfile {
    // Empty: the working folder, the names standing alone as they always have.
    std::string Folder;

    // Folder joined with Name.
    std::string File(const std::string& Name) const;
    std::string SettingsFile() const;             // 設定.txt
    std::string TrustedCertificatesFile() const;  // 信頼する証明書.txt
    std::string JournalFolder() const;            // 送信記録 (the lock file beside it)
};
