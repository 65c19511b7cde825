#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

TEST(SysUtils, StrToIntAcceptsDecimalAndNamesBadText)
{
    EXPECT_EQ(StrToInt("25"), 25);
    EXPECT_EQ(StrToInt(" -7 "), -7);
    EXPECT_EQ(StrToInt("+2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "abc", "2 5", "2147483648", "-", "12x", "0x10"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' は整数ではありません");
        }
    }
}

TEST(SysUtils, CaseFoldingTouchesAsciiLettersOnly)
{
    EXPECT_EQ(CompareText("X-Mailer", "x-mailer"), 0);
    EXPECT_LT(CompareText("a", "B"), 0);
    EXPECT_GT(CompareText("ab", "A"), 0);
    EXPECT_EQ(UpperCase("abcあ"), "ABCあ");
    EXPECT_FALSE(SameText("\x82\xa0", "\x82\x80"));
    EXPECT_EQ(Trim("\t a b \r\n"), "a b");
}

TEST(SysUtils, TrimDropsOnlyTheBlanksOfItsKind)
{
    const std::string wide = "\xe3\x80\x80";
    const struct {
        std::string text;
        TBlanks blanks;
        std::string trimmed;
    } cases[] = {
        {"\r\n\t a b \t\r\n", TBlanks::SpacesAndLineEnds, "a b"},
        {wide + "a" + wide, TBlanks::SpacesAndLineEnds, wide + "a" + wide},
        {" \ta@b\r\n", TBlanks::Spaces, "a@b\r\n"},
        {"\n a@b \t", TBlanks::Spaces, "\n a@b"},
        {wide + " 氏名\t" + wide + wide, TBlanks::SpacesAndFullWidth, "氏名"},
        {" \t" + wide + " ", TBlanks::SpacesAndFullWidth, ""},
        {"名" + wide + "前\r", TBlanks::SpacesAndFullWidth, "名" + wide + "前\r"},
        // A cut-off full-width space is no blank.
        {"\xe3\x80" "a\x80\x80", TBlanks::SpacesAndFullWidth, "\xe3\x80" "a\x80\x80"},
        {"", TBlanks::Spaces, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Trim(c.text, c.blanks), c.trimmed) << c.text;
}
