// Exception hierarchy of the runtime base. Every failure in Veltrow is one of
// these; the application's event wrapper shows Message() and carries on.
#pragma once

#include <exception>
#include <string>

// printf-style formatting into a std::string (GCC 12 has no <format>).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A value that does not fit the field it is stored into.
class ERangeError : public Exception {
public:
    ERangeError() : Exception("範囲チェックエラー") {}
    explicit ERangeError(std::string message) : Exception(std::move(message)) {}
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("ストリームの読み込みエラー") {}
};

class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("ストリームの書き込みエラー") {}
};

// "ファイル %s は開けません"
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& fileName);
};

// "ファイル %s を作成できません"
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& fileName);
};

// "リストのインデックスが範囲を超えています (%d)"
class EStringListError : public Exception {
public:
    explicit EStringListError(long index);
};

// "'%s' は整数ではありません"
class EConvertError : public Exception {
public:
    using Exception::Exception;
    static EConvertError NotAnInteger(const std::string& text);
};
