// Error flag and code kept in an object: failures stay inside the object, never thrown.
#pragma once

namespace Tamsic {
namespace System {

class ErrorBase {
public:
    ErrorBase() = default;
    virtual ~ErrorBase() = default;
    ErrorBase(const ErrorBase&) = delete;
    ErrorBase& operator=(const ErrorBase&) = delete;

    bool HasError() const { return hasError_; }
    int GetErrorCode() const { return errorCode_; }
    // Raises the flag for good; a later call only replaces the code.
    void SetError(const int& code) {
        hasError_ = true;
        errorCode_ = code;
    }

private:
    bool hasError_ = false;
    int errorCode_ = 0;
};

}  // namespace System
}  // namespace Tamsic

// A state word and a code that the derived class writes itself.
class Error {
public:
    Error() = default;
    virtual ~Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;

    int GetState() const { return state_; }

protected:
    int state_ = 0;
    int errorCode_ = 0;
};
