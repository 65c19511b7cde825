// The socket unit's text functions, used by its transfers.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Streams.h"

// Field N (from 1) of Text cut at every Delimiter; empty when there is none.
std::string NthWord(const std::string& InputString, char Delimiter, int32_t Number);
// Position (from 1) of the Number-th Delimiter, or the length plus 1.
int32_t NthPos(const std::string& InputString, char Delimiter, int32_t Number);
// Writes AString followed by CR LF in one write.
void StreamLn(TStream& AStream, const std::string& AString);
