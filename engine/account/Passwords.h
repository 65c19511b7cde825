// The SMTP password of a login: kept in the system's secret store, or, where
// none runs or the user chose 保存しない, in memory until the program ends.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "engine/account/SecretStore.h"

class TPasswords {
public:
    // The system's store through QtKeychain.
    TPasswords();
    // Another store in its place (tests: one that fails, one in memory).
    void UseSystemStore(std::unique_ptr<TSecretStore> Store);

    bool SystemStoreRuns();
    // Keeps Password for Key: in the system's store, unless MemoryOnly or no
    // store runs, when it stays in memory only. Any older copy goes.
    void Save(const std::string& Key, const std::string& Password, bool MemoryOnly);
    // The password kept for Key, memory first; nullopt when there is none or
    // the server refused it since (the user is asked again).
    std::optional<std::string> Find(const std::string& Key);
    // The server refused the password: the next Find asks the user again.
    void Refused(const std::string& Key);
    bool IsStored(const std::string& Key);  // anywhere, refused or not

private:
    std::unique_ptr<TSecretStore> system_;
    TMemoryStore memory_;
    std::set<std::string> refused_;
};

TPasswords& Passwords();
