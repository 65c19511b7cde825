// The opt-out list, the unsubscribe headers and the advertising footer, each
// against files and values as an office writes them, and the three as a run
// asks for them.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "engine/compose/Compliance.h"
#include "engine/compose/Footer.h"
#include "engine/list/OptOut.h"
#include "engine/compose/Unsubscribe.h"

namespace {

std::string Write(const QTemporaryDir& dir, const char* name, const std::string& bytes)
{
    const std::string path = dir.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A list's merge as the run hands it in: one row of a list whose columns
// are the map's names.
TRowMerge ListRowMerge(const std::map<std::string, std::string>& row)
{
    std::vector<std::string> names, values;
    for (const auto& [name, value] : row) {
        names.push_back(name);
        values.push_back(value);
    }
    auto fields = std::make_shared<TMergeFields>(names);
    const TRowMerge merge =
        RowMerge(*fields, TMergeRow{[values](size_t c) -> std::string_view { return values[c]; }, {}});
    return [fields, merge](const std::string& text, const TEncode& encode) { return merge(text, encode); };
}

const std::string kStopSubject = "?subject=unsubscribe";

}  // namespace

TEST(OptOutTest, MatchesTheWholeAddressInAnyLetterCase)
{
    // The same list as Notepad saves it in UTF-8 and as a Shift_JIS system does.
    const std::string body = "  Taro@EXAMPLE.jp \r\n\r\n<bob@example.com>\n  # hanako@example.jp\nken@Example.Co.Jp";
    const std::vector<std::pair<const char*, std::string>> files = {
        {"utf-8", "# 配信停止\r\n" + body},
        {"cp932", "# \x94\x7a\x90\x4d\x92\xe2\x8e\x7e\r\n" + body},
    };
    const std::vector<std::pair<const char*, bool>> cases = {
        {"Taro@example.jp", true},  {"Taro@Example.JP", true},  {"taro@example.jp", true}, {"TARO@EXAMPLE.JP", true},
        {"bob@EXAMPLE.COM", true},  {"hanako@example.jp", false}, {"ken@example.co.jp", true},
        {"ken@example.co.jp.evil", false}, {"example.jp", false},
    };
    for (const auto& [charset, bytes] : files) {
        QTemporaryDir dir;
        Write(dir, OptOutFileName, bytes);
        const TOptOutList list = TOptOutList::Load(dir.path().toStdString());
        EXPECT_EQ(list.Count(), 3u) << charset;
        for (const auto& [address, listed] : cases)
            EXPECT_EQ(list.Contains(address), listed) << charset << " " << address;
    }
    QTemporaryDir none;
    EXPECT_EQ(TOptOutList::Load(none.path().toStdString()).Count(), 0u);
    // A typo must stop the run rather than let mail through.
    Write(none, OptOutFileName, "a@example.jp\r\nb at example.jp\r\n");
    try {
        TOptOutList::Load(none.path().toStdString());
        ADD_FAILURE() << "no error";
    } catch (const EOptOutError& e) {
        EXPECT_NE(e.Message().find("2 行目「b at example.jp」"), std::string::npos) << e.Message();
    }
}

// Every line either matches the address it names or stops the run at its line.
TEST(OptOutTest, EachFormOfAnEntryMatchesItsAddressOrIsRefusedAtItsLine)
{
    const struct {
        std::string entry;
        const char* address;  // matched by it; nullptr: the line is refused
    } cases[] = {
        {"mailto:watanabe@theta.example.jp", "Watanabe@theta.example.jp"},
        {"MailTo:Watanabe@Theta.Example.JP?subject=unsubscribe", "watanabe@theta.example.jp"},
        {"<mailto:sato@example.jp>", "sato@example.jp"},
        {"suzuki@example.jp.", "suzuki@example.jp"},
        {" <Kato@Example.JP.> ", "kato@example.jp"},
        {"root@[192.0.2.1]", "root@[192.0.2.1]"},
        {"mailto:", nullptr},
        {"x@example.jp..", nullptr},
        {"a@b@example.jp", nullptr},
        {".dot@example.jp", nullptr},
        {"山田@example.jp", nullptr},
        {"山田 <yamada@example.jp>", nullptr},
        {"yamada@example", "yamada@example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        QTemporaryDir dir;
        Write(dir, OptOutFileName, "# 一覧\r\nfirst@example.jp\r\n" + c.entry + "\r\n");
        try {
            const TOptOutList list = TOptOutList::Load(dir.path().toStdString());
            ASSERT_NE(c.address, nullptr) << "accepted";
            EXPECT_TRUE(list.Contains(c.address));
            EXPECT_TRUE(list.Contains("first@example.jp"));
            EXPECT_EQ(list.Count(), 2u);
        } catch (const EOptOutError& e) {
            EXPECT_EQ(c.address, nullptr) << e.Message();
            EXPECT_NE(e.Message().find("配信停止.txt の 3 行目「" + c.entry + "」はメールアドレスではありません"),
                      std::string::npos)
                << e.Message();
        }
    }
}

TEST(OptOutTest, AddingKeepsTheFileAsWrittenAndSkipsAnAddressItHas)
{
    QTemporaryDir dir;
    const std::string profile = dir.path().toStdString();
    EXPECT_TRUE(AddOptOut(profile, " <Taro@Example.jp> "));
    EXPECT_FALSE(AddOptOut(profile, "Taro@EXAMPLE.JP"));
    EXPECT_TRUE(TOptOutList::Load(profile).Contains("Taro@example.jp"));
    EXPECT_THROW(AddOptOut(profile, "山田 太郎"), EOptOutError);
    EXPECT_EQ(TOptOutList::Load(profile).Count(), 1u);

    // A Shift_JIS file without a final line end gets its own line.
    const std::string cp932 = "# \x8e\x52\x93\x63\x8f\xa4\x93\x58\r\na@example.jp";
    const std::string path = Write(dir, OptOutFileName, cp932);
    EXPECT_TRUE(AddOptOut(profile, "b@example.jp"));
    EXPECT_EQ(Read(path), cp932 + "\r\nb@example.jp\r\n");
}

TEST(UnsubscribeTest, HeadersForMailtoAloneAndWithAMergedHttpsUrl)
{
    struct Case {
        const char* name;
        std::string address;
        std::string url;  // line 14
        std::map<std::string, std::string> row;
        std::string expected;  // List-Unsubscribe
    };
    const std::vector<Case> cases = {
        // Folded after the comma only where one line would pass 78.
        {"short enough for one line", "a@e.jp", "https://e.jp/s", {}, "<mailto:a@e.jp" + kStopSubject + ">, <https://e.jp/s>"},
        {"mailto only", "stop@example.jp", "", {}, "<mailto:stop@example.jp" + kStopSubject + ">"},
        {"mailto only, address needing escapes", "a#b%c?d@example.jp", "", {},
         "<mailto:a%23b%25c%3fd@example.jp" + kStopSubject + ">"},
        {"merged address encoded", "stop@example.jp", "https://example.jp/stop?m={{メールアドレス}}&k=1",
         {{"メールアドレス", "hanako+news@example.jp"}},
         "<mailto:stop@example.jp" + kStopSubject + ">,\r\n <https://example.jp/stop?m=hanako%2bnews%40example.jp&k=1>"},
        {"value that would end the URI or the brackets", "stop@example.jp", "https://example.jp/s?n={{氏名}}",
         {{"氏名", "山田 > a&b=c"}},
         "<mailto:stop@example.jp" + kStopSubject +
             ">,\r\n <https://example.jp/s?n=%e5%b1%b1%e7%94%b0%20%3e%20a%26b%3dc>"},
        {"fixed text beyond ASCII, a pre-encoded part kept", "stop@example.jp", "https://example.jp/停止 一覧?x=%41",
         {}, "<mailto:stop@example.jp" + kStopSubject + ">,\r\n <https://example.jp/%e5%81%9c%e6%ad%a2%20%e4%b8%80%e8%a6%a7?x=%41>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string url = c.url.empty() ? "" : MergedUnsubscribeUrl(c.url, ListRowMerge(c.row));
        const std::vector<THeaderLine> headers = UnsubscribeHeaders(c.address, url);
        ASSERT_EQ(headers.size(), c.url.empty() ? 1u : 2u);
        EXPECT_EQ(headers[0].Name, "List-Unsubscribe");
        EXPECT_EQ(headers[0].Value, c.expected);
        // One-click only where there is an https URI to post to.
        if (!c.url.empty()) {
            EXPECT_EQ(headers[1].Name, "List-Unsubscribe-Post");
            EXPECT_EQ(headers[1].Value, "List-Unsubscribe=One-Click");
        }
    }
    // The URL's own line holds up to 998 octets, the brackets and the fold's blank included.
    EXPECT_NO_THROW(UnsubscribeHeaders("stop@example.jp", "https://example.jp/" + std::string(976, 'a')));
    EXPECT_THROW(UnsubscribeHeaders("stop@example.jp", "https://example.jp/" + std::string(977, 'a')),
                 EUnsubscribeError);
}

TEST(FooterTest, BuiltInTemplateShowsEveryItemAndTheWayToRefuse)
{
    const TFooterItems items{"山田商店", "東京都千代田区1-1", "03-1234-5678", "stop@example.jp", ""};
    QTemporaryDir dir;
    const std::string footer = ComposeFooter(ReadFooterTemplate(dir.path().toStdString()), items, nullptr);
    for (const char* shown : {"山田商店", "東京都千代田区1-1", "03-1234-5678", "stop@example.jp", "受信を希望されない",
                              "配信を停止"})
        EXPECT_NE(footer.find(shown), std::string::npos) << shown << "\n" << footer;
    EXPECT_EQ(footer.find("{{"), std::string::npos) << footer;
    EXPECT_TRUE(MissingFooterItems(items, footer).empty());

    // The office's own wording, saved on a Shift_JIS system.
    Write(dir, FooterFileName, "\x8eR\x93" "c: {{ \x91\x97\x90M\x8e\xd2\x96\xbc }}\r\n{{\x94z\x90M\x92\xe2\x8e~\x90\xe6}}\r\n");
    EXPECT_EQ(ReadFooterTemplate(dir.path().toStdString()), "山田: {{ 送信者名 }}\n{{配信停止先}}");
}

TEST(FooterTest, EachMissingRequiredItemIsNamed)
{
    const TFooterItems full{"山田商店", "東京都千代田区1-1", "03-1234-5678", "stop@example.jp",
                            "https://example.jp/stop?m=a%40example.jp"};
    const std::string all = "{{送信者名}} {{住所}} {{問い合わせ先}} 配信停止: {{配信停止先}}";
    struct Case {
        const char* name;
        std::string tmpl;
        TFooterItems items;
        std::vector<std::string> missing;
    };
    auto with = [&](std::string TFooterItems::*field, std::string value) {
        TFooterItems items = full;
        items.*field = std::move(value);
        return items;
    };
    const std::vector<Case> cases = {
        {"nothing missing, the URL shown", all, full, {}},
        {"the address alone will do", "{{送信者名}}{{住所}}{{問い合わせ先}} 受信拒否は stop@example.jp", full, {}},
        {"blanks around names", "{{　送信者名 }}{{ 住所}}{{問い合わせ先\t}}配信停止{{配信停止先}}", full, {}},
        {"sender's name empty", all, with(&TFooterItems::SenderName, " "), {"送信者名（設定.txt の 4 行目）が空です。"}},
        {"postal address empty", all, with(&TFooterItems::PostalAddress, ""), {"住所（設定.txt の 16 行目）が空です。"}},
        {"contact empty", all, with(&TFooterItems::Contact, "　"), {"問い合わせ先（設定.txt の 17 行目）が空です。"}},
        {"footer lacks the name and the contact", "{{住所}} 配信停止 {{配信停止先}}", full,
         {"フッターに送信者名「山田商店」がありません。", "フッターに問い合わせ先「03-1234-5678」がありません。"}},
        {"footer lacks the postal address", "{{送信者名}} {{問い合わせ先}} 配信停止 {{配信停止先}}", full,
         {"フッターに住所「東京都千代田区1-1」がありません。"}},
        {"footer lacks any way to refuse", "{{送信者名}} {{住所}} {{問い合わせ先}}", full,
         {"フッターに配信停止先「https://example.jp/stop?m=a%40example.jp」がありません。"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string footer = ComposeFooter(c.tmpl, c.items, nullptr);
        EXPECT_EQ(MissingFooterItems(c.items, footer), c.missing) << footer;
    }
    // The list's fields go to the list's merge, the footer's own never do.
    const std::string merged = ComposeFooter("{{会社名}} {{送信者名}} {{住所", full, ListRowMerge({{"会社名", "㈱青空"}}));
    EXPECT_EQ(merged, "㈱青空 山田商店 {{住所");
    const std::string text = MissingFooterText({"住所（設定.txt の 16 行目）が空です。"});
    EXPECT_NE(text.find("・住所（設定.txt の 16 行目）が空です。\n"), std::string::npos) << text;
}

TEST(FooterTest, TheRefusalStatementMustStandNextToTheTarget)
{
    const TFooterItems address{"山田商店", "東京都千代田区1-1", "03-1234-5678", "stop@example.jp", ""};
    TFooterItems url = address;
    url.UnsubscribeUrl = "https://example.jp/haishin-teishi";
    const std::string items = "{{送信者名}}\n{{住所}}\n{{問い合わせ先}}\n";
    const struct {
        const char* lines;  // after the three items
        const TFooterItems* items;
        bool refused;
    } cases[] = {
        {"ご意見は {{配信停止先}} まで", &address, true},
        {"配信停止をご希望の方は {{配信停止先}} へ", &address, false},
        {"受信拒否：{{配信停止先}}", &url, false},
        {"今後の配信停止をご希望の方は\n{{配信停止先}}", &address, false},
        {"{{配信停止先}}\nから受信拒否できます", &url, false},
        {"配信停止のご案内\n\n{{配信停止先}}", &address, true},
        {"お問い合わせ: stop@example.jp\n以後の配信停止はこちら: https://example.jp/haishin-teishi", &url, false},
        {"配信を止めるには {{配信停止先}}", &address, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        const std::string footer = ComposeFooter(items + c.lines, *c.items, nullptr);
        const std::vector<std::string> missing = MissingFooterItems(*c.items, footer);
        ASSERT_EQ(missing.size(), c.refused ? 1u : 0u) << footer;
        if (c.refused) {
            EXPECT_EQ(missing[0], "フッターに、以後のメールを受信拒否できる旨がありません（配信停止先「" +
                                      c.items->UnsubscribeTarget() +
                                      "」のある行かその前後の行に、「配信停止」または「受信拒否」の語を入れて書いてください）。");
        }
    }
}

TEST(ComplianceTest, AdvertisingGetsTheCheckedFooterEveryMessageTheHeaders)
{
    QTemporaryDir dir;
    Write(dir, OptOutFileName, "taro@example.jp\r\n");
    TSettings base;
    base.FromName = "山田商店";
    base.FromAddress = "info@example.jp";
    base.PostalAddress = "東京都千代田区1-1";
    base.Contact = "03-1234-5678";
    const TRowMerge row = ListRowMerge({{"メールアドレス", "hanako@example.jp"}});
    struct Case {
        const char* name;
        bool advertising;
        std::string url, contact;
        const char* shown;    // in the footer; nullptr: no footer
        const char* missing;  // in the refusal; nullptr: none
    };
    const std::vector<Case> cases = {
        {"not advertising: no footer, no check", false, "", "", nullptr, nullptr},
        {"advertising, refusing by mail to line 5", true, "", "03-1234-5678", "info@example.jp", nullptr},
        {"advertising, the row's URL", true, "https://example.jp/stop?m={{メールアドレス}}", "03-1234-5678",
         "https://example.jp/stop?m=hanako%40example.jp", nullptr},
        {"advertising without a contact", true, "", "", "山田商店", "問い合わせ先（設定.txt の 17 行目）が空です。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSettings settings = base;
        settings.Advertising = c.advertising;
        settings.UnsubscribeUrl = c.url;
        settings.Contact = c.contact;
        const TCompliance compliance(settings, dir.path().toStdString());
        EXPECT_TRUE(compliance.OptedOut("taro@EXAMPLE.JP"));
        EXPECT_FALSE(compliance.OptedOut("hanako@example.jp"));
        const std::string footer = compliance.Footer(row);
        EXPECT_EQ(c.shown ? footer.find(c.shown) != std::string::npos : footer.empty(), true) << footer;
        const std::string missing = compliance.MissingText(row);
        EXPECT_EQ(c.missing ? missing.find(c.missing) != std::string::npos : missing.empty(), true) << missing;
        const std::vector<THeaderLine> headers = compliance.Headers(row);
        EXPECT_EQ(headers.size(), c.url.empty() ? 1u : 2u);
        EXPECT_EQ(headers[0].Value.rfind("<mailto:info@example.jp?", 0), 0u) << headers[0].Value;
    }
}
