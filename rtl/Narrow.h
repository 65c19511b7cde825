// Range-checked narrowing: storing a value into a narrower field raises
// ERangeError instead of silently cutting it.
#pragma once

#include <utility>

#include "rtl/Exception.h"

template <typename To, typename From>
To Narrow(From value)
{
    if (!std::in_range<To>(value))
        throw ERangeError();
    return static_cast<To>(value);
}
