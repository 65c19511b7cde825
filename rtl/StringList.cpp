#include "rtl/StringList.h"

#include <algorithm>

#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/SysUtils.h"

void TStringList::CheckIndex(int Index, int Limit) const
{
    if (Index < 0 || Index > Limit)
        throw EStringListError(Index);
}

const std::string& TStringList::Get(int Index) const
{
    CheckIndex(Index, Count() - 1);
    return lines_[static_cast<size_t>(Index)];
}

void TStringList::Put(int Index, const std::string& S)
{
    if (sorted_)
        throw Exception("ソートされたリストには実行できません");
    CheckIndex(Index, Count() - 1);
    lines_[static_cast<size_t>(Index)] = S;
}

int TStringList::Add(const std::string& S)
{
    if (!sorted_) {
        lines_.push_back(S);
        return Count() - 1;
    }
    auto at = std::upper_bound(lines_.begin(), lines_.end(), S,
                               [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    const int index = static_cast<int>(at - lines_.begin());
    lines_.insert(at, S);
    return index;
}

void TStringList::Insert(int Index, const std::string& S)
{
    if (sorted_)
        throw Exception("ソートされたリストには実行できません");
    CheckIndex(Index, Count());
    lines_.insert(lines_.begin() + Index, S);
}

void TStringList::Delete(int Index)
{
    CheckIndex(Index, Count() - 1);
    lines_.erase(lines_.begin() + Index);
}

int TStringList::IndexOf(const std::string& S) const
{
    for (int i = 0; i < Count(); ++i)
        if (SameText(lines_[static_cast<size_t>(i)], S))
            return i;
    return -1;
}

void TStringList::AddStrings(const TStringList& Source)
{
    for (const std::string& line : Source.lines_)
        Add(line);
}

void TStringList::SetSorted(bool Value)
{
    if (Value && !sorted_)
        std::stable_sort(lines_.begin(), lines_.end(),
                         [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    sorted_ = Value;
}

std::string TStringList::Text() const
{
    std::string out;
    for (const std::string& line : lines_) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void TStringList::SplitInto(const std::string& text, bool dropBom)
{
    lines_.clear();
    // A zero byte is a character like any other: what the lines hold is for
    // their reader to judge, never cut short here.
    const size_t end = text.size();
    size_t i = 0;
    if (dropBom && end >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        i = 3;
    while (i < end) {
        size_t j = i;
        while (j < end && text[j] != '\r' && text[j] != '\n')
            ++j;
        lines_.push_back(text.substr(i, j - i));
        if (j < end) {
            // CR LF, a lone CR or a lone LF ends the line.
            if (text[j] == '\r' && j + 1 < end && text[j + 1] == '\n')
                ++j;
            ++j;
        }
        i = j;
    }
    if (sorted_)
        SetSorted(true);
}

void TStringList::SetText(const std::string& Value) { SplitInto(Value, false); }

void TStringList::LoadFromStream(TStream& Stream)
{
    const int32_t size = Stream.Size() - Stream.Position();
    std::string text(static_cast<size_t>(std::max(size, 0)), '\0');
    text.resize(static_cast<size_t>(Stream.Read(text.data(), static_cast<int32_t>(text.size()))));
    SplitInto(text, true);
}

void TStringList::SaveToStream(TStream& Stream) const
{
    const std::string text = Text();
    Stream.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

void TStringList::LoadFromFile(const std::string& FileName)
{
    TFileStream file(FileName, fmOpenRead);
    LoadFromStream(file);
}

void TStringList::SaveToFile(const std::string& FileName) const
{
    TFileStream file(FileName, fmCreate);
    SaveToStream(file);
}
