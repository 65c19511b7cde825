#include "engine/compose/Footer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "engine/account/Profile.h"
#include "charset/CodePage.h"
#include "rtl/StringList.h"

const char* const FooterFileName = "フッター.txt";

namespace {

// Blanks a user may type around a name or a value: ASCII ones and the
// full-width space.
std::string TrimBlanks(std::string text)
{
    static const std::string full = "\u3000";
    while (!text.empty()) {
        if (text.front() == ' ' || text.front() == '\t')
            text.erase(0, 1);
        else if (text.rfind(full, 0) == 0)
            text.erase(0, full.size());
        else
            break;
    }
    while (!text.empty()) {
        if (text.back() == ' ' || text.back() == '\t')
            text.pop_back();
        else if (text.size() >= full.size() && text.compare(text.size() - full.size(), full.size(), full) == 0)
            text.resize(text.size() - full.size());
        else
            break;
    }
    return text;
}

bool IsBlank(const std::string& text) { return TrimBlanks(text).empty(); }

// The law asks for the statement that the recipient may refuse further mail
// next to where to say so: a line showing Target, or a line just before or
// after it, holds 配信停止 or 受信拒否 (the target's own text aside: a URL
// may hold the words).
bool RefusalNextTo(const std::string& Footer, const std::string& Target)
{
    if (Target.empty())
        return false;
    std::vector<std::string> lines;
    std::vector<bool> shown;
    for (size_t start = 0; start <= Footer.size();) {
        const size_t end = std::min(Footer.find('\n', start), Footer.size());
        std::string line = Footer.substr(start, end - start);
        bool has = false;
        for (size_t at; (at = line.find(Target)) != std::string::npos; has = true)
            line.erase(at, Target.size());
        lines.push_back(std::move(line));
        shown.push_back(has);
        start = end + 1;
    }
    const auto states = [&](size_t i) {
        return i < lines.size() && (lines[i].find("配信停止") != std::string::npos ||
                                    lines[i].find("受信拒否") != std::string::npos);
    };
    for (size_t i = 0; i < lines.size(); ++i)
        if (shown[i] && (states(i - 1) || states(i) || states(i + 1)))
            return true;
    return false;
}

}  // namespace

std::string BuiltInFooter()
{
    return "────────────────────────────────\n"
           "このメールは {{送信者名}} からお送りしています。\n"
           "今後このようなメールの受信を希望されない場合は、下記の配信停止先からお申し出ください。"
           "以後の配信を停止いたします。\n"
           "配信停止先：{{配信停止先}}\n"
           "送信者：{{送信者名}}\n"
           "住所：{{住所}}\n"
           "お問い合わせ・苦情の窓口：{{問い合わせ先}}";
}

std::string ReadFooterTemplate(const std::string& ProfileDir)
{
    const std::string path = TProfile{ProfileDir}.File(FooterFileName);
    struct stat st {};
    // Only a file that is truly absent falls back; one that cannot be read
    // is reported, so a refusal text the office wrote is never replaced.
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return BuiltInFooter();
    TStringList lines;
    ReadTextFile(path, lines);
    std::string text;
    for (int i = 0; i < lines.Count(); ++i)
        text += (i ? "\n" : "") + lines[i];
    return text;
}

std::string ComposeFooter(const std::string& Template, const TFooterItems& Items, const TRowMerge& Merge)
{
    const std::string target = Items.UnsubscribeTarget();
    const std::pair<const char*, const std::string*> own[] = {
        {"送信者名", &Items.SenderName}, {"住所", &Items.PostalAddress},
        {"問い合わせ先", &Items.Contact}, {"配信停止先", &target}};
    std::string out;
    size_t pos = 0;
    while (true) {
        const size_t open = Template.find("{{", pos);
        const size_t close = open == std::string::npos ? open : Template.find("}}", open + 2);
        if (close == std::string::npos)
            break;
        const std::string name = TrimBlanks(Template.substr(open + 2, close - open - 2));
        const std::string* value = nullptr;
        for (const auto& [ownName, ownValue] : own)
            if (name == ownName)
                value = ownValue;
        out.append(Template, pos, (value ? open : close + 2) - pos);
        if (value)
            out += *value;
        pos = close + 2;
    }
    out.append(Template, pos);
    return Merge ? Merge(out, [](const std::string& value) { return value; }) : out;
}

std::vector<std::string> MissingFooterItems(const TFooterItems& Items, const std::string& ComposedFooter)
{
    std::vector<std::string> missing;
    struct Required {
        const std::string& value;
        const char* empty;    // the settings line is empty
        const char* absent;   // the footer does not show it
    };
    const Required required[] = {
        {Items.SenderName, "送信者名（設定.txt の 4 行目）が空です。", "送信者名"},
        {Items.PostalAddress, "住所（設定.txt の 16 行目）が空です。", "住所"},
        {Items.Contact, "問い合わせ先（設定.txt の 17 行目）が空です。", "問い合わせ先"},
    };
    for (const Required& r : required) {
        if (IsBlank(r.value))
            missing.push_back(r.empty);
        else if (ComposedFooter.find(TrimBlanks(r.value)) == std::string::npos)
            missing.push_back(std::string("フッターに") + r.absent + "「" + TrimBlanks(r.value) + "」がありません。");
    }
    // Either way of refusing will do; the address is always there (line 5
    // at the least), the URL only when line 14 is set.
    const bool address = !IsBlank(Items.UnsubscribeAddress)
                         && ComposedFooter.find(TrimBlanks(Items.UnsubscribeAddress)) != std::string::npos;
    const bool url = !Items.UnsubscribeUrl.empty() && ComposedFooter.find(Items.UnsubscribeUrl) != std::string::npos;
    if (IsBlank(Items.UnsubscribeTarget()))
        missing.push_back("配信停止先（設定.txt の 13 行目、空ならば 5 行目のメールアドレス）が空です。");
    else if (!address && !url)
        missing.push_back("フッターに配信停止先「" + TrimBlanks(Items.UnsubscribeTarget()) + "」がありません。");
    else if (!RefusalNextTo(ComposedFooter, address ? TrimBlanks(Items.UnsubscribeAddress) : std::string()) &&
             !RefusalNextTo(ComposedFooter, url ? Items.UnsubscribeUrl : std::string()))
        missing.push_back("フッターに、以後のメールを受信拒否できる旨がありません（配信停止先「" +
                          TrimBlanks(Items.UnsubscribeTarget()) +
                          "」のある行かその前後の行に、「配信停止」または「受信拒否」の語を入れて書いてください）。");
    return missing;
}

std::string MissingFooterText(const std::vector<std::string>& Missing)
{
    std::string text = "広告・宣伝メールには、送信者名、住所、問い合わせ先と配信停止の方法を示す必要があります"
                       "（特定電子メール法）。次の項目が足りないため、送信を始めません。\n";
    for (const std::string& item : Missing)
        text += "・" + item + "\n";
    return text + "「設定」で入力するか、" + FooterFileName + " に書いてください。";
}
