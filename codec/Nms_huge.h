// Pointer helpers over plain byte addresses, used by the buffered stream.
#pragma once

#include <cstdint>

inline void HugeInc(char*& P, int32_t N) { P += N; }
inline void HugeInc(const char*& P, int32_t N) { P += N; }
inline void HugeDec(char*& P, int32_t N) { P -= N; }
inline void HugeDec(const char*& P, int32_t N) { P -= N; }
inline char* HugeOffset(char* P, int32_t N) { return P + N; }
inline const char* HugeOffset(const char* P, int32_t N) { return P + N; }

// Copies Count bytes; overlapping ranges are copied correctly.
void HMemCpy(void* Dest, const void* Source, int32_t Count);
