#include "engine/account/SecretStore.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QTimer>

namespace {

constexpr const char* kService = "Veltrow";
// A Secret Service answers in milliseconds; one that has to unlock its
// keyring may show a prompt, which the user needs time for.
constexpr int kJobTimeoutMs = 60000;
// The key that tells whether a store answers at all.
constexpr const char* kProbeKey = "veltrow-availability-probe";

// Runs job to its end (bounded) and returns its error.
QKeychain::Error Run(QKeychain::Job& job)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    bool done = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        done = true;
        loop.quit();
    });
    QTimer::singleShot(kJobTimeoutMs, &loop, &QEventLoop::quit);
    job.start();
    if (!done)
        loop.exec();
    return done ? job.error() : QKeychain::OtherError;
}

[[noreturn]] void Fail(const char* what, const QKeychain::Job& job)
{
    throw ESecretStoreError(std::string("パスワードを") + what + "できません（" + job.errorString().toStdString() + "）");
}

}  // namespace

std::string PasswordKey(const std::string& server, const std::string& port, const std::string& login)
{
    return login + "@" + server + ":" + port;
}

bool TKeychainStore::Available()
{
    if (!available_) {
        QKeychain::ReadPasswordJob job(kService);
        job.setKey(QString::fromStdString(kProbeKey));
        const QKeychain::Error e = Run(job);
        available_ = e == QKeychain::NoError || e == QKeychain::EntryNotFound;
    }
    return *available_;
}

std::optional<std::string> TKeychainStore::Read(const std::string& key)
{
    QKeychain::ReadPasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    switch (Run(job)) {
    case QKeychain::NoError:
        return job.textData().toStdString();
    case QKeychain::EntryNotFound:
        return std::nullopt;
    default:
        Fail("読み出", job);
    }
}

void TKeychainStore::Write(const std::string& key, const std::string& secret)
{
    QKeychain::WritePasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    job.setTextData(QString::fromStdString(secret));
    if (Run(job) != QKeychain::NoError)
        Fail("保存", job);
}

void TKeychainStore::Remove(const std::string& key)
{
    QKeychain::DeletePasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    const QKeychain::Error e = Run(job);
    if (e != QKeychain::NoError && e != QKeychain::EntryNotFound)
        Fail("削除", job);
}

std::optional<std::string> TMemoryStore::Read(const std::string& key)
{
    auto it = secrets_.find(key);
    return it == secrets_.end() ? std::nullopt : std::optional<std::string>(it->second);
}
