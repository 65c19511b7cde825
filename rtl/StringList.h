// Ordered list of byte-string lines.
//
// Loading splits at CR LF, a lone LF or a lone CR; a line end after the last
// line adds no empty line; lines stay exactly as read, zero bytes included. A UTF-8 byte-order mark at the start of loaded text is dropped (files
// saved by common Windows editors carry one). Saving writes every line
// followed by CR LF, the last included.
#pragma once

#include <string>
#include <vector>

#include "rtl/Classes.h"

class TStream;

class TStringList : public TObject {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines) : lines_(lines) {}

    int Count() const { return static_cast<int>(lines_.size()); }
    // Index outside 0..Count-1 raises EStringListError with the index.
    const std::string& Get(int Index) const;
    const std::string& Strings(int Index) const { return Get(Index); }
    const std::string& operator[](int Index) const { return Get(Index); }
    void Put(int Index, const std::string& S);

    int Add(const std::string& S);  // returns the new line's index
    void Insert(int Index, const std::string& S);
    void Delete(int Index);
    void Clear() { lines_.clear(); }
    int IndexOf(const std::string& S) const;  // case-insensitive, -1 if absent
    void Assign(const TStringList& Source) { lines_ = Source.lines_; }
    void AddStrings(const TStringList& Source);

    // Sorted lists keep their lines in CompareText order; Add inserts in place
    // and Put/Insert are refused.
    bool Sorted() const { return sorted_; }
    void SetSorted(bool Value);

    // Every line followed by CR LF.
    std::string Text() const;
    void SetText(const std::string& Value);

    void LoadFromFile(const std::string& FileName);  // EFOpenError
    void SaveToFile(const std::string& FileName) const;  // EFCreateError
    void LoadFromStream(TStream& Stream);  // from the current position to the end
    void SaveToStream(TStream& Stream) const;

    const std::vector<std::string>& Lines() const { return lines_; }

private:
    void CheckIndex(int Index, int Limit) const;
    void SplitInto(const std::string& text, bool dropBom);

    std::vector<std::string> lines_;
    bool sorted_ = false;
};
