#include "engine/list/Recipients.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "rtl/SysUtils.h"

namespace {

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

// A plan's entries keep their problem as a constant text; the few that name
// characters are kept here once for the life of the process.
const char* Interned(std::string Text)
{
    static std::mutex lock;
    static std::set<std::string> texts;
    const std::lock_guard<std::mutex> hold(lock);
    return texts.insert(std::move(Text)).first->c_str();
}

}  // namespace

TEntryParts ParseEntry(const std::string& Entry)
{
    TEntryParts parts;
    size_t lt = Entry.find('<');
    // A name may hold brackets of its own ("<山田> <yamada@example.jp>"): an
    // entry ending in "<...>" has its address there.
    const size_t last = Entry.rfind('<');
    if (last != lt && Entry.find('>', last) == Entry.find_last_not_of(" \t"))
        lt = last;
    if (lt != std::string::npos) {
        const size_t gt = Entry.find('>', lt);
        parts.Bracketed = true;
        parts.Before = Entry.substr(0, lt);
        parts.Name = Unquoted(Trim(parts.Before, TBlanks::Spaces));
        // Without its ">" the address is not known to end anywhere.
        if (gt != std::string::npos) {
            parts.Address = Trim(Entry.substr(lt + 1, gt - lt - 1), TBlanks::Spaces);
            parts.After = Entry.substr(gt + 1);
        }
        return parts;
    }
    const std::string entry = Trim(Entry, TBlanks::Spaces);
    const size_t open = entry.find('(');
    if (open != std::string::npos && entry.back() == ')') {
        parts.Name = Trim(entry.substr(open + 1, entry.size() - open - 2), TBlanks::Spaces);
        parts.Address = Trim(entry.substr(0, open), TBlanks::Spaces);
        return parts;
    }
    parts.Address = entry;
    return parts;
}

void SplitEntry(const std::string& Entry, std::string& Name, std::string& Address)
{
    TEntryParts parts = ParseEntry(Entry);
    Name = std::move(parts.Name);
    Address = std::move(parts.Address);
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

const char* EntryProblem(const std::string& Entry, const TNameCheck& CanCarry)
{
    if (Trim(Entry, TBlanks::Spaces).empty())
        return "空行";
    const TEntryParts parts = ParseEntry(Entry);
    const std::string& name = parts.Name;
    const std::string& address = parts.Address;
    // Text after the ">" would follow the address into the To line
    // ("<b@example.jp>>"), and a ">" without "<" is a mistyped bracket.
    if (parts.Bracketed && !address.empty() && !Trim(parts.After, TBlanks::Spaces).empty())
        return "> の後に余分な文字があります";
    if (!parts.Bracketed && address.find('>') != std::string::npos)
        return "< のない > があります";
    if (IsUsableAddress(address)) {
        if (name.empty() || !CanCarry)
            return nullptr;
        const std::string why = CanCarry(name);
        return why.empty() ? nullptr : Interned("名前を送れない文字があります（" + why + "）");
    }
    // The commonest ways a list goes wrong first, so that the reason tells
    // what to change.
    if (parts.Bracketed && address.empty() && Entry.find('>', Entry.find('<')) == std::string::npos)
        return "< > が閉じていません";
    if (address.empty())
        return "アドレスがありません";
    if (address.find(',') != std::string::npos || address.find('\t') != std::string::npos)
        return "区切り文字があります（1 行に宛先 1 件）";
    if (std::any_of(address.begin(), address.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return "アドレスに全角文字などがあります";
    if (address.find('@') == std::string::npos)
        return "@ がありません";
    if (address.find(' ') != std::string::npos)
        return "アドレスに空白があります";
    return "アドレスの形が正しくありません";
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
        if (const char* problem = EntryProblem(r.Entry, CanCarry))
            r.Problem = problem;
        out.push_back(std::move(r));
    }
    return out;
}

std::string InvalidText(const std::vector<TPlanEntry>& Entries)
{
    // The status bar is one line: the first few are enough to find the rest
    // in the journal.
    constexpr int LinesShown = 3;
    int count = 0;
    std::string lines;
    for (const TPlanEntry& e : Entries) {
        if (e.Sendable)
            continue;
        if (count < LinesShown)
            lines += (count ? "、" : "") + std::to_string(e.Line) + " 行目: " + (e.Problem ? e.Problem : "");
        else if (count == LinesShown)
            lines += "、…";
        ++count;
    }
    if (count == 0)
        return {};
    return "宛先不正 " + std::to_string(count) + " 件（" + lines + "）";
}
