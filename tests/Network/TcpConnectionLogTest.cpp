// The connection's records with logging on; a program of its own, since it opens a log file.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Biz/Log.h"
#include "Biz/LogRecords.h"
#include "Network/TcpConnection.h"
#include "common/LoopbackListener.h"

namespace {
// 初始化网络库成功 and 连接服务器失败，错误码： in UTF-8.
const std::string kStartupDone =
    "\xE5\x88\x9D\xE5\xA7\x8B\xE5\x8C\x96\xE7\xBD\x91\xE7\xBB\x9C\xE5\xBA\x93\xE6\x88\x90\xE5\x8A\x9F";
const std::string kConnectFailed =
    "\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x8C"
    "\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81\xEF\xBC\x9A";
}  // namespace

TEST(TcpConnectionLog, StartupAndRefusedConnectEachWriteOneRecord) {
    logrecords::LogFolder folder;
    const std::wstring path = folder.File(L"connection.log");
    OpenLogFile(GetLogger(), true, path);

    TcpConnection connection;
    connection.Startup();
    LoopbackListener listener;
    connection.SetAddress(L"127.0.0.1", static_cast<short>(listener.Port()));
    ASSERT_TRUE(connection.Connect());
    connection.Close();
    connection.SetAddress(L"127.0.0.1", static_cast<short>(ClosedLoopbackPort()));
    EXPECT_FALSE(connection.Connect());
    connection.Close();
    connection.Cleanup();

    const std::vector<logrecords::Record> records = logrecords::ReadRecords(path);
    ASSERT_EQ(records.size(), 3u)
        << "set-up, start-up, refused connect; a connect that works writes nothing\n"
        << testfiles::ReadBytes(path);
    EXPECT_EQ(records[0].message, logrecords::kReadyUtf8);
    EXPECT_EQ(records[1].message, kStartupDone);
    EXPECT_EQ(records[1].location, "Network/TcpConnection.cpp:60");
    EXPECT_EQ(records[2].message, kConnectFailed + std::to_string(WSAECONNREFUSED));
    EXPECT_EQ(records[2].location, "Network/TcpConnection.cpp:75");
}
