#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

namespace {

std::vector<std::string> Split(const std::string& text)
{
    TStringList list;
    TStringStream stream(text);
    list.LoadFromStream(stream);
    return list.Lines();
}

std::string TempPath(const char* name)
{
    return (std::filesystem::temp_directory_path() / (std::string("veltrow_rtl_") + name)).string();
}

}  // namespace

TEST(StringList, LoadSplitsAtEveryKindOfLineEnd)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Split(""), V{});
    EXPECT_EQ(Split("a"), V{"a"});
    EXPECT_EQ(Split("a\r\n"), V{"a"});
    EXPECT_EQ(Split("a\r\nb\nc\rd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(Split("\n\n"), (V{"", ""}));
    EXPECT_EQ(Split("a\n\r\nb"), (V{"a", "", "b"}));  // LF then CR LF: two ends
    EXPECT_EQ(Split("a\r\rb"), (V{"a", "", "b"}));
    EXPECT_EQ(Split("  x  \r\n\r\n"), (V{"  x  ", ""}));  // no trimming, blank lines count
    // A zero byte stays in its line, and the lines after it are read.
    EXPECT_EQ(Split(std::string("a\nb\0c\nd", 7)), (V{"a", std::string("b\0c", 3), "d"}));
    EXPECT_EQ(Split(std::string("\0\r\n\0", 4)), (V{std::string(1, '\0'), std::string(1, '\0')}));
}

TEST(StringList, ByteOrderMarkOnlyDroppedAtStartOfLoadedText)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("\xEF\xBB\xBFuser@example.com\r\n"), V{"user@example.com"});
    EXPECT_EQ(Split("a\n\xEF\xBB\xBF" "b"), (V{"a", "\xEF\xBB\xBF" "b"}));
    TStringList list;
    list.SetText("\xEF\xBB\xBFz");
    EXPECT_EQ(list[0], "\xEF\xBB\xBFz");
}

TEST(StringList, SaveWritesCrLfAfterEveryLineAndFileRoundTrips)
{
    const std::string path = TempPath("save.txt");
    TStringList list{"", "25", "日本語", ""};
    list.SaveToFile(path);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "\r\n25\r\n日本語\r\n\r\n");
    TStringList back;
    back.LoadFromFile(path);
    EXPECT_EQ(back.Lines(), list.Lines());
    std::remove(path.c_str());
}

TEST(StringList, ErrorsCarryTheirTexts)
{
    TStringList list{"a", "b"};
    try {
        (void)list[2];
        FAIL();
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "リストのインデックスが範囲を超えています (2)");
    }
    EXPECT_THROW(list.Delete(-1), EStringListError);
    EXPECT_THROW(list.Insert(3, "x"), EStringListError);
    list.Insert(2, "c");
    EXPECT_EQ(list.Count(), 3);

    try {
        list.LoadFromFile("/nonexistent/dir/x.txt");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "ファイル /nonexistent/dir/x.txt は開けません");
    }
    try {
        list.SaveToFile("/nonexistent/dir/x.txt");
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "ファイル /nonexistent/dir/x.txt を作成できません");
    }
}

TEST(StringList, SortedListInsertsInCaseInsensitiveOrder)
{
    TStringList list;
    list.SetSorted(true);
    list.Add("b");
    list.Add("C");
    list.Add("a");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"a", "b", "C"}));
    EXPECT_EQ(list.IndexOf("c"), 2);
    EXPECT_THROW(list.Put(0, "z"), Exception);
}
