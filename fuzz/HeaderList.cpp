// The header list: lines from the input, then lookups, replacements and
// deletions by names taken from the input. A value that was set must be
// read back in place of the old one; a deletion removes exactly one line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/NMExtstr.h"
#include "rtl/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TExStringList list;
    list.SetText(input);
    if (!input.empty() && (input[0] & 1))
        list.SetSorted(true);
    for (int i = 0; i < list.Count() && i < 64; ++i) {
        const std::string line = list[i];
        const size_t colon = line.find(':');
        const std::string name = line.substr(0, colon == std::string::npos ? line.size() : colon);
        list.IndexOfName(name);
        list.GetValue(name);
        // Names with a colon or a line break cannot be addressed by name.
        if (name.empty() || name.find_first_of(":\r\n") != std::string::npos || list.Sorted())
            continue;
        const std::string value = line.size() > 8 ? line.substr(line.size() / 2) : std::string("v");
        if (value.find_first_of("\r\n") != std::string::npos || value[0] == ' ')
            continue;
        // A line without a colon has no name: setting its text appends.
        const int count = list.Count() + (list.IndexOfName(name) < 0 ? 1 : 0);
        list.SetValue(name, value);
        if (list.GetValue(name) != value || list.Count() != count)
            std::abort();
        list.SetValue(name, "");
        if (list.Count() != count - 1)
            std::abort();
    }
    return 0;
}
