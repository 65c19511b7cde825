// Where the SMTP password lives: the system's secret store (the Secret Service
// of GNOME or KDE, through QtKeychain) or, where none runs, this program's
// memory until it ends. Never the settings file.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "rtl/Exception.h"

class TSecretStore {
public:
    virtual ~TSecretStore() = default;
    // False when no store answers (no Secret Service on the session bus).
    virtual bool Available() = 0;
    // The secret kept under key, nullopt when there is none. Throws
    // ESecretStoreError when the store fails.
    virtual std::optional<std::string> Read(const std::string& key) = 0;
    virtual void Write(const std::string& key, const std::string& secret) = 0;
    virtual void Remove(const std::string& key) = 0;  // nothing kept is no failure
};

class ESecretStoreError : public Exception {
public:
    using Exception::Exception;
};

// The key of the password for login at server and port.
std::string PasswordKey(const std::string& server, const std::string& port, const std::string& login);

// QtKeychain under service "Veltrow". Each call waits for its job (bounded);
// it runs a local event loop meanwhile, so call it from the GUI thread only
// where a nested loop is safe (a button handler before a run starts).
class TKeychainStore final : public TSecretStore {
public:
    bool Available() override;
    std::optional<std::string> Read(const std::string& key) override;
    void Write(const std::string& key, const std::string& secret) override;
    void Remove(const std::string& key) override;

private:
    std::optional<bool> available_;  // asked once: the bus does not come and go under us
};

// Kept in memory only, for when no store runs and for 保存しない.
class TMemoryStore final : public TSecretStore {
public:
    bool Available() override { return true; }
    std::optional<std::string> Read(const std::string& key) override;
    void Write(const std::string& key, const std::string& secret) override { secrets_[key] = secret; }
    void Remove(const std::string& key) override { secrets_.erase(key); }

private:
    std::map<std::string, std::string> secrets_;
};
