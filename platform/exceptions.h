// The host runtime's exception classes: every error the library raises
// derives from Exception, whose message is UTF-8 text.
#pragma once

#include <exception>
#include <string>

namespace btr {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}

    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }

private:
    std::string FMessage;
};

// The silent exception: unwinds like any error, but hosts do not report it.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    using Exception::Exception;
};

class EConvertError : public Exception {
    using Exception::Exception;
};

class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
    using Exception::Exception;
};

class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode)
        : Exception(std::move(message)), FErrorCode(errorCode) {}
    // The operating system's error number (errno), 0 when there is none.
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

class EInvalidCast : public Exception {
public:
    EInvalidCast() : Exception("Invalid class typecast") {}
    using Exception::Exception;
};

class EStreamError : public Exception {
    using Exception::Exception;
};

class EReadError : public EStreamError {
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
    using EStreamError::EStreamError;
};

// Raises EAbort.
[[noreturn]] void Abort();

} // namespace btr
