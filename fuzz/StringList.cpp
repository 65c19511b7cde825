// The string-list loader on any file content: what it reads, written out
// and read again, gives the same lines.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rtl/Streams.h"
#include "rtl/StringList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TStringStream stream(input);
    TStringList lines;
    lines.LoadFromStream(stream);
    // The loader drops a leading UTF-8 byte order mark; SetText does not.
    const std::string bom = "\xEF\xBB\xBF";
    const bool marked = input.compare(0, 3, bom) == 0;
    TStringList fromText;
    fromText.SetText(marked ? input.substr(3) : input);
    if (fromText.Lines() != lines.Lines())
        std::abort();
    // A first line that itself begins with a mark loses it when read again.
    if (lines.Count() > 0 && lines[0].compare(0, 3, bom) == 0)
        return 0;

    TStringStream saved;
    lines.SaveToStream(saved);
    saved.Seek(0, soFromBeginning);
    TStringList again;
    again.LoadFromStream(saved);
    if (again.Lines() != lines.Lines() || again.Text() != lines.Text())
        std::abort();
    return 0;
}
