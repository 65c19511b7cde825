#include "engine/account/Profile.h"

#include <filesystem>

#include "engine/journal/Journal.h"
#include "engine/account/SendSecurity.h"
#include "engine/account/SettingsFile.h"

std::string TProfile::File(const std::string& Name) const
{
    return Folder.empty() ? Name : (std::filesystem::path(Folder) / Name).string();
}

std::string TProfile::SettingsFile() const { return File(SettingsFileName); }

std::string TProfile::TrustedCertificatesFile() const { return File(TrustedCertificatesFileName); }

std::string TProfile::JournalFolder() const { return JournalFolderBeside(SettingsFile()); }
