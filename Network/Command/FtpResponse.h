// The last control reply of an upload, as a code and the text that follows it.
#pragma once

#include <string>

class FtpResponse {
public:
    FtpResponse() = default;
    virtual ~FtpResponse() = default;

    // Takes the code off the front of a whole reply and keeps the rest as the text. The reply string is left
    // without its code and the blank after it.
    void Parse(std::string& reply);
    // The code is what stands before the first blank, read as atol reads it ("230-Welcome" gives 230); a
    // reply without a blank has code 0 and stays whole.
    void ParseCode(std::string& reply);

    int GetCode() const { return code_; }
    const std::string& GetText() const { return text_; }
    void Clear() {
        text_.clear();
        code_ = 0;
    }

private:
    std::string text_;
    int code_ = 0;
};
