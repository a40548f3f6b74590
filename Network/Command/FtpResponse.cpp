#include "Network/Command/FtpResponse.h"

#include <cstdlib>

void FtpResponse::Parse(std::string& reply) {
    code_ = 0;
    text_.clear();
    ParseCode(reply);
    text_ = reply;
}

void FtpResponse::ParseCode(std::string& reply) {
    const std::string::size_type blank = reply.find(' ');
    if (blank == std::string::npos) return;
    const std::string codeText = reply.substr(0, blank);
    reply.erase(0, blank + 1);
    code_ = static_cast<int>(std::atol(codeText.c_str()));
}
