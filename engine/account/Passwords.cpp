#include "engine/account/Passwords.h"

TPasswords::TPasswords() : system_(std::make_unique<TKeychainStore>()) {}

void TPasswords::UseSystemStore(std::unique_ptr<TSecretStore> Store) { system_ = std::move(Store); }

bool TPasswords::SystemStoreRuns() { return system_->Available(); }

void TPasswords::Save(const std::string& Key, const std::string& Password, bool MemoryOnly)
{
    refused_.erase(Key);
    if (MemoryOnly || !SystemStoreRuns()) {
        memory_.Write(Key, Password);
        // 保存しない also means: not left in the store from an earlier Save.
        if (SystemStoreRuns())
            system_->Remove(Key);
        return;
    }
    system_->Write(Key, Password);
    memory_.Remove(Key);
}

std::optional<std::string> TPasswords::Find(const std::string& Key)
{
    if (refused_.contains(Key))
        return std::nullopt;
    if (auto p = memory_.Read(Key))
        return p;
    return SystemStoreRuns() ? system_->Read(Key) : std::nullopt;
}

void TPasswords::Refused(const std::string& Key) { refused_.insert(Key); }

bool TPasswords::IsStored(const std::string& Key)
{
    return memory_.Read(Key) || (SystemStoreRuns() && system_->Read(Key));
}

TPasswords& Passwords()
{
    static TPasswords passwords;
    return passwords;
}
