#include "codec/NMExtstr.h"

#include "rtl/SysUtils.h"

namespace {

// The line's text before its first colon; empty without a colon, which
// is how the bisection must see such lines.
bool LineName(const std::string& line, std::string& name)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        name.clear();
        return false;
    }
    name.assign(line, 0, colon);
    return true;
}

}  // namespace

int TExStringList::IndexOfName(const std::string& Name) const
{
    std::string name;
    if (!Sorted()) {
        for (int i = 0; i < Count(); ++i)
            if (LineName(Get(i), name) && CompareText(name, Name) == 0)
                return i;
        return -1;
    }
    // Assumes the lines are in the order of their names.
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        const int probe = lo + (hi - lo) / 2;
        LineName(Get(probe), name);
        const int cmp = CompareText(name, Name);
        if (cmp == 0)
            return probe;
        if (cmp < 0)
            lo = probe + 1;
        else
            hi = probe - 1;
    }
    return -1;
}

std::string TExStringList::GetValue(const std::string& Name) const
{
    const int i = IndexOfName(Name);
    if (i < 0)
        return std::string();
    const std::string& line = Get(i);
    std::string value = line.size() > Name.size() + 1 ? line.substr(Name.size() + 1) : std::string();
    if (!value.empty() && value[0] == ' ')
        value.erase(0, 1);
    return value;
}

void TExStringList::SetValue(const std::string& Name, const std::string& Value)
{
    const int i = IndexOfName(Name);
    if (Value.empty()) {
        if (i >= 0)
            Delete(i);
        return;
    }
    const std::string line = Name + ": " + Value;
    if (i < 0) {
        Add(line);
    } else if (Sorted()) {
        // A sorted list refuses replacement in place; re-adding keeps it in order.
        Delete(i);
        Add(line);
    } else {
        Put(i, line);
    }
}
