#include <gtest/gtest.h>

#include "codec/NMExtstr.h"
#include "rtl/SysUtils.h"

TEST(NMExtstr, IndexOfNameMatchesWholeNamesIgnoringCase)
{
    const TExStringList list = {
        "Subject : spaced name",
        "Subject",
        "From: a@example.com",
        "X-Mailer: Veltrow",
        "Received: from x: y",
    };
    struct Case {
        const char* name;
        int index;
    } cases[] = {
        {"x-mailer", 3}, {"FROM", 2}, {"Subject", -1}, {"Subject ", 0},
        {"Received", 4}, {"Received: from x", -1}, {"", -1}, {"To", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.IndexOfName(c.name), c.index) << c.name;
    EXPECT_EQ(TExStringList().IndexOfName("A"), -1);
    TExStringList sorted;
    sorted.SetSorted(true);
    EXPECT_EQ(sorted.IndexOfName("A"), -1);
}

TEST(NMExtstr, SortedListIsBisected)
{
    TExStringList list;
    list.SetSorted(true);
    for (const char* line : {"Date: d", "cc: c", "Bcc: b", "X-Mailer: m", "From: f", "Subject: s", "apple: a"})
        list.Add(line);
    for (const std::string name : {"apple", "BCC", "Cc", "date", "from", "subject", "x-mailer"}) {
        const int i = list.IndexOfName(name);
        ASSERT_GE(i, 0) << name;
        EXPECT_EQ(CompareText(list.Get(i).substr(0, name.size() + 1), name + ":"), 0) << name;
    }
    for (int i = 0; i < list.Count(); ++i) {
        const std::string& line = list.Get(i);
        EXPECT_EQ(list.IndexOfName(line.substr(0, line.find(':'))), i) << line;
    }
    EXPECT_EQ(list.IndexOfName("Zzz"), -1);
    EXPECT_EQ(list.IndexOfName("0"), -1);
    list.SetValue("Cc", "new");
    EXPECT_EQ(list.GetValue("CC"), "new");
    EXPECT_EQ(list.Count(), 7);
}

TEST(NMExtstr, GetValueAndSetValue)
{
    TExStringList list = {"Subject:no blank", "To:  two blanks", "Empty:", "subject: second"};
    EXPECT_EQ(list.GetValue("subject"), "no blank");
    EXPECT_EQ(list.GetValue("To"), " two blanks");
    EXPECT_EQ(list.GetValue("Empty"), "");
    EXPECT_EQ(list.GetValue("Missing"), "");

    // Only the first of duplicates is replaced, under the caller's spelling.
    list.SetValue("SUBJECT", "new");
    EXPECT_EQ(list.Get(0), "SUBJECT: new");
    EXPECT_EQ(list.Get(3), "subject: second");
    list.SetValue("Date", "Mon, 1 Jan 2024 00:00:00 +0900");
    EXPECT_EQ(list.Get(list.Count() - 1), "Date: Mon, 1 Jan 2024 00:00:00 +0900");

    const std::string before = list.Text();
    list.SetValue("Reply-To", "");  // absent and empty: nothing changes
    EXPECT_EQ(list.Text(), before);
    list.SetValue("subject", "");
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Get(0), "To:  two blanks");
    EXPECT_EQ(list.Get(2), "subject: second");
}
