// The reply parse and the reply framing: pure functions, tested from tables.
#include <gtest/gtest.h>

#include <string>

#include "Network/Command/FtpCommand.h"
#include "Network/Command/FtpReplyReader.h"
#include "Network/Command/FtpResponse.h"

namespace {

struct ParseCase {
    const char* arrived;
    int code;
    const char* text;
};

TEST(FtpResponse, ParseTakesTheCodeBeforeTheFirstBlank) {
    const ParseCase cases[] = {
        {"220 Service ready\r\n", 220, "Service ready\r\n"},
        {"213 1048576\r\n", 213, "1048576\r\n"},
        // The code text is "230-Welcome", read up to the hyphen.
        {"230-Welcome to the server\r\n230 Done\r\n", 230, "to the server\r\n230 Done\r\n"},
        // No blank on the first line: the code text runs to the blank of the second.
        {"230-Welcome\r\n230 Done\r\n", 230, "Done\r\n"},
        {"", 0, ""},
        {"OK\r\n", 0, "OK\r\n"},
        {" 200 x", 0, "200 x"},
    };
    for (const ParseCase& c : cases) {
        FtpResponse response;
        std::string reply = c.arrived;
        response.Parse(reply);
        EXPECT_EQ(c.code, response.GetCode()) << "reply: " << c.arrived;
        EXPECT_EQ(c.text, response.GetText()) << "reply: " << c.arrived;
        // The caller's string loses its code too.
        EXPECT_EQ(c.text, reply) << "reply: " << c.arrived;
    }
}

TEST(FtpResponse, ParseReplacesTheEarlierReply) {
    FtpResponse response;
    std::string first = "550 No such file\r\n";
    response.Parse(first);
    std::string second = "nocode\r\n";
    response.Parse(second);
    EXPECT_EQ(0, response.GetCode());
    EXPECT_EQ("nocode\r\n", response.GetText());
}

struct FramingCase {
    const char* name;
    const char* bytes;
    size_t completeLength;  // 0: no complete reply yet
};

TEST(FtpReplyFraming, AReplyEndsWhereRfc959SaysItDoes) {
    const FramingCase cases[] = {
        {"single line", "220 ready\r\n", 11},
        {"single line, bare LF", "220 ready\n", 10},
        {"line not ended yet", "220 rea", 0},
        {"nothing", "", 0},
        {"two replies: only the first", "331 pass\r\n230 in\r\n", 10},
        {"multi-line, closed", "211-Features:\r\n SIZE\r\n211 End\r\n", 31},
        {"multi-line, closing line still open", "211-Features:\r\n SIZE\r\n211 End", 0},
        {"multi-line, only the first line", "211-Features:\r\n", 0},
        // Lines inside may start with other codes, or with the code and a hyphen again.
        {"multi-line, other codes inside", "230-a\r\n220 b\r\n230-c\r\n230 d\r\n", 28},
        {"multi-line, code without blank inside", "220-a\r\n220\r\n220 b\r\n", 19},
        {"first line of letters is one line", "hello-there\r\n220 x\r\n", 13},
        {"multi-line then the next reply", "226-File stored\r\n226 0.1 s\r\n221 Bye\r\n", 28},
    };
    for (const FramingCase& c : cases)
        EXPECT_EQ(c.completeLength, FtpReplyReader::CompleteLength(c.bytes)) << c.name;
}

struct PassiveCase {
    const char* text;
    unsigned short port;  // 0: not parsable
};

TEST(FtpPassiveReply, ThePortComesFromTheLastTwoNumbers) {
    const PassiveCase cases[] = {
        {"Entering Passive Mode (192,168,1,10,195,80).\r\n", 50000},
        {"Entering Passive Mode (127,0,0,1,4,1)\r\n", 1025},
        {"Entering Passive Mode ( 127, 0, 0, 1, 195, 80 )\r\n", 50000},
        // Servers that leave out the parentheses: the numbers start at the first digit.
        {"Entering Passive Mode 127,0,0,1,195,80\r\n", 50000},
        {"Entering Passive Mode (127,0,0,1,195)\r\n", 0},
        {"Entering Passive Mode (127,0,0,1,195,)\r\n", 0},
        {"Entering Passive Mode (127,0,0,1,300,80)\r\n", 0},
        {"Entering Passive Mode (127,0,0,1,0,0)\r\n", 0},
        {"Entering Passive Mode (a,b,c,d,e,f)\r\n", 0},
        {"Entering Passive Mode\r\n", 0},
        {"", 0},
    };
    for (const PassiveCase& c : cases) EXPECT_EQ(c.port, FtpCommand::ParsePassivePort(c.text)) << c.text;
}

}  // namespace
