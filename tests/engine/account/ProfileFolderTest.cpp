// Which folder holds the settings and the journal: the menu's, --profile's,
// or the terminal's working folder when it already holds 設定.txt.

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "engine/account/ProfileFolder.h"
#include "engine/account/SettingsFile.h"

namespace fs = std::filesystem;

namespace {

TEST(ProfileFolder, TheOptionsTheMenuAndTheWorkingFolderChooseInThisOrder)
{
    QTemporaryDir root;
    const std::string home = root.filePath("home").toStdString(), work = root.filePath("work").toStdString();
    fs::create_directories(work);
    // OpenProfileFolder looks at the process's folder and home.
    const fs::path oldDir = fs::current_path();
    const QByteArray oldHome = qgetenv("HOME");
    fs::current_path(work);
    qputenv("HOME", QByteArray::fromStdString(home));

    struct Case {
        std::vector<std::string> args;
        bool settingsInWork;
        std::string expected;
    } const cases[] = {
        // The menu ignores a 設定.txt where the desktop happened to be.
        {{"--menu"}, true, home + "/Veltrow"},
        {{"--menu", "--profile", work + "/../elsewhere"}, true, root.filePath("elsewhere").toStdString()},
        {{"--profile=office"}, false, work + "/office"},
        {{"--profile", "./office/"}, true, work + "/office"},
        // A terminal in a folder that holds 設定.txt keeps working there.
        {{}, true, work},
        {{}, false, home + "/Veltrow"},
    };
    for (const Case& c : cases) {
        fs::remove(work + "/" + SettingsFileName);
        if (c.settingsInWork)
            std::ofstream(work + "/" + SettingsFileName) << "smtp.example.jp\r\n25\r\n";
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-platform");
        args.push_back("-reverse");
        const TProfileRequest request = TakeProfileOptions(args);
        // Options that are not ours stay for Qt, in their order.
        EXPECT_EQ(args, (std::vector<std::string>{"-platform", "-reverse"}));
        EXPECT_EQ(ChooseProfileFolder(request, work, home), c.expected) << testing::PrintToString(c.args);
        EXPECT_EQ(OpenProfileFolder(request), c.expected);
        EXPECT_TRUE(fs::is_directory(c.expected));
    }

    for (std::vector<std::string> args : {std::vector<std::string>{"--profile"}, {"--profile="}})
        EXPECT_THROW(TakeProfileOptions(args), EProfileError);
    fs::remove_all(home + "/Veltrow");
    std::ofstream(home + "/Veltrow") << "";
    try {
        OpenProfileFolder({});
        ADD_FAILURE() << "a file named Veltrow was taken for the folder";
    } catch (const EProfileError& e) {
        EXPECT_EQ(e.Message(), home + "/Veltrow はフォルダーではありません");
    }
    fs::current_path(oldDir);
    qputenv("HOME", oldHome);
}

}  // namespace
