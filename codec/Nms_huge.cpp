#include "codec/Nms_huge.h"

#include <cstring>

void HMemCpy(void* Dest, const void* Source, int32_t Count)
{
    if (Count > 0)
        std::memmove(Dest, Source, static_cast<size_t>(Count));
}
