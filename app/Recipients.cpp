#include "app/Recipients.h"

#include <cstring>

namespace {

const char* const Blanks = " \t";

std::string Trimmed(const std::string& s)
{
    const size_t first = s.find_first_not_of(Blanks);
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(Blanks) - first + 1);
}

std::string Unquoted(std::string s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

bool IsAtext(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

bool IsDotAtom(const std::string& s, bool (*allowed)(char))
{
    if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string::npos)
        return false;
    for (char c : s)
        if (c != '.' && !allowed(c))
            return false;
    return true;
}

bool IsLabelChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsAddressLiteral(const std::string& s)
{
    if (s.size() < 3 || s.front() != '[' || s.back() != ']')
        return false;
    for (char c : s.substr(1, s.size() - 2))
        if (c <= ' ' || c > '~' || c == '[' || c == ']' || c == '\\')
            return false;
    return true;
}

}  // namespace

void SplitEntry(const std::string& Entry, std::string& Name, std::string& Address)
{
    const size_t lt = Entry.find('<');
    if (lt != std::string::npos) {
        const size_t gt = Entry.find('>', lt);
        Name = Unquoted(Trimmed(Entry.substr(0, lt)));
        // Without its ">" the address is not known to end anywhere.
        Address = gt == std::string::npos ? std::string() : Trimmed(Entry.substr(lt + 1, gt - lt - 1));
        return;
    }
    const std::string entry = Trimmed(Entry);
    const size_t open = entry.find('(');
    if (open != std::string::npos && entry.back() == ')') {
        Name = Trimmed(entry.substr(open + 1, entry.size() - open - 2));
        Address = Trimmed(entry.substr(0, open));
        return;
    }
    Name.clear();
    Address = entry;
}

bool IsUsableAddress(const std::string& Address)
{
    const size_t at = Address.rfind('@');
    if (at == std::string::npos)
        return false;
    const std::string local = Address.substr(0, at);
    const std::string domain = Address.substr(at + 1);
    return IsDotAtom(local, IsAtext) && (IsDotAtom(domain, IsLabelChar) || IsAddressLiteral(domain));
}

std::vector<TRecipient> CheckRecipients(const std::vector<std::string>& Lines, const TNameCheck& CanCarry)
{
    std::vector<TRecipient> out;
    out.reserve(Lines.size());
    for (size_t i = 0; i < Lines.size(); ++i) {
        TRecipient r;
        r.Line = static_cast<int>(i) + 1;
        r.Entry = Lines[i];
        SplitEntry(r.Entry, r.Name, r.Address);
        if (Trimmed(r.Entry).empty())
            r.Problem = "空行";
        else if (!IsUsableAddress(r.Address))
            r.Problem = "アドレスが正しくありません";
        else if (!r.Name.empty() && CanCarry && !CanCarry(r.Name))
            r.Problem = "名前を送れない文字があります";
        out.push_back(std::move(r));
    }
    return out;
}

std::string PrecheckText(const std::vector<TRecipient>& Recipients)
{
    // The status bar is one line: the first few line numbers are enough to
    // find the rest in the journal.
    constexpr int LinesShown = 5;
    int count = 0;
    std::string lines;
    for (const TRecipient& r : Recipients) {
        if (r.Sendable())
            continue;
        if (count < LinesShown)
            lines += (count ? ", " : "") + std::to_string(r.Line);
        else if (count == LinesShown)
            lines += ", …";
        ++count;
    }
    if (count == 0)
        return {};
    return "宛先不正 " + std::to_string(count) + " 件（" + lines + " 行目）は送信しません";
}
