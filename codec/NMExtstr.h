// String list addressed by header name, for lines "Name: value".
//
// A line's name is its text before the first colon, exactly as written; lines
// without a colon have none. Names compare case-insensitively.
#pragma once

#include <string>

#include "rtl/StringList.h"

class TExStringList : public TStringList {
public:
    using TStringList::TStringList;

    // Index of the first line named Name, or -1. A sorted list is searched
    // by bisection.
    int IndexOfName(const std::string& Name) const;
    // The value of that line with one leading blank removed; empty if none.
    std::string GetValue(const std::string& Name) const;
    // Replaces (or appends) the line with Name + ": " + Value; an empty Value
    // deletes it instead.
    void SetValue(const std::string& Name, const std::string& Value);
};
