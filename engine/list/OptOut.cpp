#include "engine/list/OptOut.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "engine/account/Profile.h"
#include "engine/list/Recipients.h"
#include "charset/CodePage.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

const char* const OptOutFileName = "配信停止.txt";
const char* const OptOutOutcomeWord = "配信停止";

namespace {

constexpr std::string_view kMailto = "mailto:";

std::string PathIn(const std::string& profileDir) { return TProfile{profileDir}.File(OptOutFileName); }

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// The address as the list and the envelope are compared: the whole of it
// in lower case (a local part differing only in case reaches the same
// person everywhere that matters, and the risk lies in sending, not in
// skipping), a domain's final dot (the root) left out. Empty when the text
// can never be an address a run sends to.
std::string Key(std::string address)
{
    if (address.size() > 1 && address.back() == '.' && address.find('@') != std::string::npos)
        address.pop_back();
    if (!IsUsableAddress(address))
        return {};
    return LowerCase(address);
}

// What a user types or pastes: the address, perhaps in angle brackets, or
// the link of a mail that asked to stop ("mailto:a@example.jp?subject=...").
std::string Bare(const std::string& text)
{
    std::string bare = Trim(text);
    if (bare.size() >= 2 && bare.front() == '<' && bare.back() == '>')
        bare = Trim(bare.substr(1, bare.size() - 2));
    if (LowerCase(bare.substr(0, kMailto.size())) == kMailto) {
        bare.erase(0, kMailto.size());
        bare = Trim(bare.substr(0, bare.find('?')));
    }
    return bare;
}

}  // namespace

TOptOutList TOptOutList::Load(const std::string& ProfileDir)
{
    TOptOutList list;
    const std::string path = PathIn(ProfileDir);
    if (!Exists(path))
        return list;
    TStringList lines;
    ReadTextFile(path, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        const std::string entry = Trim(lines[i]);
        if (entry.empty() || entry.front() == '#')
            continue;
        const std::string key = Key(Bare(entry));
        if (key.empty())
            throw EOptOutError(Format("%s の %d 行目「%s」はメールアドレスではありません。"
                                      "1 行に 1 つのアドレスを書くか、行の始めに # を付けてください。",
                                      OptOutFileName, i + 1, lines[i].c_str()));
        list.keys_.insert(key);
    }
    return list;
}

bool TOptOutList::Contains(const std::string& Address) const
{
    const std::string key = Key(Address);
    return !key.empty() && keys_.count(key) != 0;
}

bool AddOptOut(const std::string& ProfileDir, const std::string& Address)
{
    const std::string address = Bare(Address);
    if (Key(address).empty())
        throw EOptOutError("「" + Address + "」はメールアドレスではありません。");
    if (TOptOutList::Load(ProfileDir).Contains(address))
        return false;
    const std::string path = PathIn(ProfileDir);
    std::string before;
    if (Exists(path)) {
        std::ifstream in(path, std::ios::binary);
        before.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!out)
        throw EFCreateError(path);
    // Addresses are ASCII, so appending them suits a CP932 file as well.
    if (before.empty())
        out << "# 配信停止を求めた宛先です。1 行に 1 つのアドレスを書きます。# で始まる行は説明です。\r\n";
    else if (before.back() != '\n' && before.back() != '\r')
        out << "\r\n";
    out << address << "\r\n";
    out.flush();
    if (!out)
        throw EFCreateError(path);
    return true;
}

std::vector<std::string> ListOptOut(const std::string& ProfileDir)
{
    std::vector<std::string> entries;
    const std::string path = PathIn(ProfileDir);
    if (!Exists(path))
        return entries;
    TStringList lines;
    ReadTextFile(path, lines);
    for (int i = 0; i < lines.Count(); ++i)
        if (const std::string entry = Bare(lines[i]); !entry.empty() && entry.front() != '#')
            entries.push_back(entry);
    return entries;
}

bool RemoveOptOut(const std::string& ProfileDir, const std::string& Entry)
{
    const std::string path = PathIn(ProfileDir);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EFOpenError(path);
    const std::string before(std::istreambuf_iterator<char>(in), {});
    in.close();
    // Entries are compared as bytes: an address is ASCII in either encoding,
    // and a line that is no address was read from a UTF-8 file or stays.
    // A byte-order mark stays in front of whatever line is first then.
    const bool bom = before.rfind("\xEF\xBB\xBF", 0) == 0;
    std::string after = bom ? before.substr(0, 3) : std::string();
    bool removed = false;
    for (size_t start = after.size(); start < before.size();) {
        const size_t end = std::min(before.find('\n', start), before.size() - 1) + 1;
        const std::string line = before.substr(start, end - start);
        start = end;
        const std::string bare = Bare(line);
        if (!bare.empty() && bare.front() != '#' && bare == Entry) {
            removed = true;
            continue;
        }
        after += line;
    }
    if (!removed)
        return false;
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << after;
        out.flush();
        if (!out)
            throw EFCreateError(temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw EFCreateError(path);
    }
    return true;
}
