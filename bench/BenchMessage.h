// The benchmark message: about 1 KB of text in lines of 72 characters, the
// same for the component, the main window and the Python client.
#pragma once

#include <string>
#include <vector>

namespace bench {

inline std::vector<std::string> BodyLines()
{
    std::vector<std::string> lines;
    const std::string row = "The quick brown fox jumps over the lazy dog; 0123456789 abcdefghijklmn";
    for (int i = 0; i < 13; ++i)
        lines.push_back(row.substr(0, 70) + (i < 10 ? "0" : "") + std::to_string(i));
    return lines;
}

}  // namespace bench
