#include "rtl/Exception.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

EFOpenError::EFOpenError(const std::string& fileName)
    : EStreamError(Format("ファイル %s は開けません", fileName.c_str()))
{
}

EFCreateError::EFCreateError(const std::string& fileName)
    : EStreamError(Format("ファイル %s を作成できません", fileName.c_str()))
{
}

EStringListError::EStringListError(long index)
    : Exception(Format("リストのインデックスが範囲を超えています (%ld)", index))
{
}

EConvertError EConvertError::NotAnInteger(const std::string& text)
{
    return EConvertError(Format("'%s' は整数ではありません", text.c_str()));
}
