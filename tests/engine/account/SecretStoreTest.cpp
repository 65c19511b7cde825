// The password stores: the system's secret store through QtKeychain against a
// Secret Service of the test's own, and the in-memory one.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>

#include "engine/account/SecretStore.h"
#include "tests/support/SecretService.h"

namespace {

// Every case acts on a store the same way and reads what it then holds.
void ExerciseStore(TSecretStore& store)
{
    const std::string key = PasswordKey("smtp.example.jp", "587", "taro@example.jp");
    EXPECT_EQ(store.Read(key), std::nullopt);
    store.Write(key, "初めの パスワード");
    EXPECT_EQ(store.Read(key), "初めの パスワード");
    store.Write(key, "second");  // replaced, not added
    EXPECT_EQ(store.Read(key), "second");
    EXPECT_EQ(store.Read(PasswordKey("smtp.example.jp", "465", "taro@example.jp")), std::nullopt);
    store.Remove(key);
    EXPECT_EQ(store.Read(key), std::nullopt);
    EXPECT_NO_THROW(store.Remove(key));
}

TEST(SecretStore, KeychainKeepsThePasswordInTheSecretService)
{
    testsupport::PrivateSecretService service;
    TKeychainStore store;
    ASSERT_TRUE(store.Available());
    ExerciseStore(store);
    const std::string key = PasswordKey("smtp.example.jp", "587", "hanako");
    store.Write(key, "kept-in-the-keyring");
    // Seen from another client of the same service.
    const std::string found = service.Search("user", key);
    EXPECT_NE(found.find("kept-in-the-keyring"), std::string::npos) << found;
    // A new store object (as after a restart) reads it back.
    EXPECT_EQ(TKeychainStore().Read(key), "kept-in-the-keyring");
}

// Services one after another in one process, as tests run them: each is
// reached with a keyring of its own, and none answers between them.
TEST(SecretStore, EveryServiceOfAProcessIsReachedAndNoneBetweenThem)
{
    const std::string key = PasswordKey("smtp.example.jp", "587", "jiro");
    for (const char* secret : {"first-service", "second-service"}) {
        SCOPED_TRACE(secret);
        {
            testsupport::PrivateSecretService service;
            TKeychainStore store;
            ASSERT_TRUE(store.Available());
            EXPECT_EQ(store.Read(key), std::nullopt);
            store.Write(key, secret);
            EXPECT_NE(service.Search("user", key).find(secret), std::string::npos);
        }
        EXPECT_FALSE(TKeychainStore().Available());
    }
}

TEST(SecretStore, NoSecretServiceMeansNotAvailable)
{
    testsupport::TempFolder nowhere;
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + nowhere.Path() + "/no-bus").c_str(), 1);
    TKeychainStore store;
    EXPECT_FALSE(store.Available());
}

TEST(SecretStore, MemoryStoreKeepsItUntilTheEnd)
{
    TMemoryStore store;
    EXPECT_TRUE(store.Available());
    ExerciseStore(store);
}

}  // namespace
