// Which folder holds the settings and the journal: the menu's, --profile's,
// or the terminal's working folder when it already holds 設定.txt.

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "engine/ProfileFolder.h"
#include "engine/SettingsFile.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& Path, const std::string& Bytes) { std::ofstream(Path, std::ios::binary) << Bytes; }

// A home and a working folder of their own; the process is moved into the
// working folder for OpenProfileFolder and back afterwards.
class ProfileFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/veltrow-profile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        home = root_ + "/home";
        work = root_ + "/work";
        fs::create_directories(home);
        fs::create_directories(work);
        oldDir_ = fs::current_path();
        fs::current_path(work);
        if (const char* h = std::getenv("HOME"))
            oldHome_ = h;
        ::setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override
    {
        fs::current_path(oldDir_);
        ::setenv("HOME", oldHome_.c_str(), 1);
        fs::remove_all(root_);
    }
    std::string home, work;

private:
    std::string root_, oldHome_;
    fs::path oldDir_;
};

TEST_F(ProfileFolderTest, TheOptionsTheMenuAndTheWorkingFolderChooseInThisOrder)
{
    struct Case {
        std::vector<std::string> args;
        bool settingsInWork;
        std::string expected;
    };
    const std::string other = work + "/../elsewhere";
    const Case cases[] = {
        // The menu ignores a 設定.txt where the desktop happened to be.
        {{"--menu"}, true, home + "/Veltrow"},
        {{"--menu", "--profile", other}, true, fs::path(other).lexically_normal().string()},
        {{"--profile=office"}, false, work + "/office"},
        {{"--profile", "./office/"}, true, work + "/office"},
        // A terminal in a folder that holds 設定.txt keeps working there.
        {{}, true, work},
        {{}, false, home + "/Veltrow"},
    };
    for (const Case& c : cases) {
        fs::remove(work + "/" + SettingsFileName);
        if (c.settingsInWork)
            WriteFile(work + "/" + SettingsFileName, "smtp.example.jp\r\n25\r\n");
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
}

TEST_F(ProfileFolderTest, AMissingFolderNameOrAFileInTheWayIsSaid)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"--profile"},
                                          std::vector<std::string>{"--profile="}}) {
        EXPECT_THROW(TakeProfileOptions(args), EProfileError);
    }
    WriteFile(home + "/Veltrow", "");
    try {
        OpenProfileFolder({});
        FAIL() << "a file named Veltrow was taken for the folder";
    } catch (const EProfileError& e) {
        EXPECT_EQ(e.Message(), home + "/Veltrow はフォルダーではありません");
    }
}

}  // namespace
