// Uploads over a link of a real rate: run.sh starts this program in a network namespace whose loopback is
// a token bucket (1 Mbit/s or 128 kbit/s) with a pyftpdlib server behind it, and names both in
// KORVANE_SLOW_LINK. The link, not the processor, sets the pace here, so the margins are wide enough for a
// loaded machine; the benchmark (bench/upload) holds the tight figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "EngineTestSupport.h"

using namespace enginetest;

namespace {

struct Link {
    bool given = false;
    unsigned short port = 0;
    std::wstring user;
    std::wstring password;
    std::string root;  // the server's folder, a Unix path
    double rate = 0;   // the token bucket's rate, bytes a second
};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

Link TheLink() {
    Link link;
    const char* text = std::getenv("KORVANE_SLOW_LINK");
    if (!text) return link;
    std::istringstream fields(text);
    std::string field;
    while (fields >> field) {
        const std::string::size_type equals = field.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = field.substr(0, equals), value = field.substr(equals + 1);
        if (key == "port") link.port = static_cast<unsigned short>(std::atoi(value.c_str()));
        if (key == "user") link.user = Wide(value);
        if (key == "password") link.password = Wide(value);
        if (key == "root") link.root = value;
        if (key == "rate") link.rate = std::atof(value.c_str());
    }
    link.given = link.port != 0 && link.rate > 0 && !link.root.empty();
    return link;
}

// The server's copy of a file, read through Wine's view of the Unix folder.
std::string ServerCopy(const Link& link, const std::string& name) {
    std::wstring path = L"Z:" + Wide(link.root + "/" + name);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return bytes;
    char piece[65536];
    size_t n;
    while ((n = fread(piece, 1, sizeof(piece), f)) > 0) bytes.append(piece, n);
    fclose(f);
    return bytes;
}

// "122.07KB" and the like, back to bytes.
double SizeOf(const std::wstring& text) {
    const double number = std::wcstod(text.c_str(), nullptr);
    if (text.find(L"GB") != std::wstring::npos) return number * 1024 * 1024 * 1024;
    if (text.find(L"MB") != std::wstring::npos) return number * 1024 * 1024;
    if (text.find(L"KB") != std::wstring::npos) return number * 1024;
    return number;
}

// "00:01:05" in seconds.
int SecondsOf(const std::wstring& text) {
    int hours = 0, minutes = 0, seconds = 0;
    swscanf(text.c_str(), L"%d:%d:%d", &hours, &minutes, &seconds);
    return hours * 3600 + minutes * 60 + seconds;
}

// What the page hears, with the time it heard it and the texts its handler would ask for.
struct Heard {
    enum Kind { Progress, Complete, Error } kind;
    uint64_t at;  // GetTickCount64
    int64_t posted;
    std::wstring speed;
    std::wstring left;
    int errorCode;
};

class PageSink : public KorvaneEvent {
public:
    explicit PageSink(FtpFilePoster& poster) : poster_(poster) {}
    // Called in the progress handler; true stops the job there, as a page's handler may.
    std::function<bool(const Heard&)> stopWhen;

    void postProcess(int, int64_t posted, CString speed) override {
        const Heard heard{Heard::Progress,
                          GetTickCount64(),
                          posted,
                          speed.GetString(),
                          poster_.GetRemainingTimeText().GetString(),
                          0};
        heard_.Add(heard);
        if (stopWhen && stopWhen(heard)) poster_.Stop();
    }
    void postComplete(int) override { heard_.Add({Heard::Complete, GetTickCount64(), 0, L"", L"", 0}); }
    void postError(int, int errorCode) override {
        heard_.Add({Heard::Error, GetTickCount64(), 0, L"", L"", errorCode});
    }
    void postConnect(int) override {}

    bool WaitForFinal(std::chrono::milliseconds limit) {
        return heard_.WaitForCount([](const Heard& h) { return h.kind != Heard::Progress; }, 1, limit);
    }
    std::vector<Heard> All() { return heard_.All(); }
    std::vector<Heard> Progress() {
        std::vector<Heard> progress;
        for (const Heard& h : heard_.All())
            if (h.kind == Heard::Progress) progress.push_back(h);
        return progress;
    }

private:
    FtpFilePoster& poster_;
    testcommon::RecordedReports<Heard> heard_;
};

class SlowLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!link_.given) GTEST_SKIP() << "not on a slow link: run.sh runs this program";
    }

    void Start(FtpFilePoster& poster, PageSink& sink, const LocalFile& local, const wchar_t* name) {
        poster.SetEvent(&sink);
        poster.SetTaskId(5);
        poster.SetFileSize(static_cast<int64_t>(local.Bytes().size()));
        poster.SetServer(L"127.0.0.1", link_.port, link_.user.c_str(), link_.password.c_str());
        ASSERT_TRUE(poster.Post(local.Path().c_str(), L"", name));
    }

    // Long enough for the file at half the link's rate, and a minute.
    std::chrono::milliseconds TransferLimit(size_t size) const {
        return std::chrono::milliseconds(static_cast<int64_t>(size / link_.rate * 2000) + 60000);
    }

    Link link_ = TheLink();
    SocketLibrary winsock_;
    // A per-call send time-out of this length would end every upload here; a live link must not fail it.
    TimeoutScope shortWait_{30000, 5000};
};

TEST_F(SlowLink, AnUploadReportsEverySecondAtTheLinksRateAndCompletes) {
    // About twelve seconds of the link.
    const size_t size = static_cast<size_t>(link_.rate * 12) + 12345;
    LocalFile local(LocalBytes(size, 31));
    FtpFilePoster poster;
    PageSink sink(poster);
    const uint64_t began = GetTickCount64();
    Start(poster, sink, local, L"steady.bin");
    ASSERT_TRUE(sink.WaitForFinal(TransferLimit(size))) << "no final report";

    // What came up to the final report is checked even when the upload failed.
    const std::vector<Heard> all = sink.All();
    const Heard final = all.back();
    EXPECT_EQ(Heard::Complete, final.kind) << "error " << final.errorCode;
    if (final.kind == Heard::Complete) {
        EXPECT_TRUE(ServerCopy(link_, "steady.bin") == local.Bytes()) << "the server's copy differs";
        const double took = static_cast<double>(final.at - began) / 1000;
        EXPECT_GT(took, size / link_.rate * 0.7) << "the upload outran the link: the test shows nothing";
    }

    const std::vector<Heard> progress = sink.Progress();
    ASSERT_GE(progress.size(), 8u) << "reports through the transfer";
    // After the first three seconds no gap of more than 2.5 s, up to the completion.
    uint64_t previous = began;
    for (const Heard& h : all) {
        if (h.at > began + 3000) {
            EXPECT_LE(h.at - previous, 2500u) << "a gap before the report at " << (h.at - began) << " ms";
        }
        previous = h.at;
    }
    int64_t lastPosted = 0;
    for (const Heard& h : progress) {
        EXPECT_GE(h.posted, lastPosted);
        EXPECT_LE(h.posted, static_cast<int64_t>(size));
        lastPosted = h.posted;
        // Once the transfer is steady: the speed near the link's rate, the time left near what it took.
        if (h.at < began + 4000) continue;
        const double speed = SizeOf(h.speed);
        EXPECT_GE(speed, link_.rate / 2)
            << "speed \"" << h.speed.c_str() << "\" at " << (h.at - began) << " ms";
        EXPECT_LE(speed, link_.rate * 2)
            << "speed \"" << h.speed.c_str() << "\" at " << (h.at - began) << " ms";
        const double actual = static_cast<double>(final.at - h.at) / 1000;
        const int left = SecondsOf(h.left);
        EXPECT_LE(left, actual * 2 + 3)
            << "time left \"" << h.left.c_str() << "\" with " << actual << " s to go";
        EXPECT_GE(left, actual / 2 - 3)
            << "time left \"" << h.left.c_str() << "\" with " << actual << " s to go";
    }
}

// A file of seven seconds of the link, less than one view: a socket left to itself takes most of it in a
// second or two, and the server has it all only seconds after the last send. The end of the transfer must
// wait for that, and the I/O time-out beyond it (3 s here).
TEST_F(SlowLink, TheEndOfTheTransferWaitsForWhatTheSocketStillHolds) {
    TimeoutScope shorter(30000, 3000);
    const size_t size = static_cast<size_t>(link_.rate * 7);
    ASSERT_LT(size, 65536u * FtpFilePoster::kBlocksPerView);
    LocalFile local(LocalBytes(size, 33));
    FtpFilePoster poster;
    PageSink sink(poster);
    Start(poster, sink, local, L"held.bin");
    ASSERT_TRUE(sink.WaitForFinal(TransferLimit(size))) << "no final report";
    const Heard final = sink.All().back();
    ASSERT_EQ(Heard::Complete, final.kind) << "error " << final.errorCode;
    EXPECT_TRUE(ServerCopy(link_, "held.bin") == local.Bytes()) << "the server's copy differs";
}

TEST_F(SlowLink, AStopIsSeenAtOnceReportsNothingAndAPostResumesTheUpload) {
    const size_t size = static_cast<size_t>(link_.rate * 10) + 777;
    LocalFile local(LocalBytes(size, 32));
    FtpFilePoster poster;
    PageSink stopped(poster);
    std::atomic<uint64_t> stopAt{0};
    std::atomic<int64_t> postedAtStop{0};
    const uint64_t began = GetTickCount64();
    stopped.stopWhen = [&](const Heard& h) {
        if (stopAt != 0 || h.at < began + 4000) return false;
        postedAtStop = h.posted;
        stopAt = h.at;
        return true;
    };
    Start(poster, stopped, local, L"stopped.bin");
    while (stopAt == 0 && poster.IsRunning() && GetTickCount64() - began < 60000) Sleep(10);
    ASSERT_NE(0u, stopAt.load()) << "no report after the first four seconds";
    while (poster.IsRunning() && GetTickCount64() - stopAt < 60000) Sleep(10);
    const uint64_t ended = GetTickCount64();
    // A second for the stop to be seen, and what the socket held (about a second of the link) to reach
    // the server, whose reply settles the job.
    EXPECT_LE(ended - stopAt, 3000u) << "the stopped job ended " << (ended - stopAt) << " ms after the stop";
    const size_t held = ServerCopy(link_, "stopped.bin").size();
    EXPECT_LT(held, size) << "the stop came too late: the test shows nothing";
    EXPECT_LE(static_cast<double>(held), postedAtStop + link_.rate * 2)
        << "the server got " << held << " bytes; " << postedAtStop << " were posted at the stop";
    Sleep(300);
    const std::vector<Heard> heard = stopped.All();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(Heard::Progress, heard.back().kind) << "a stopped job reports nothing";
    EXPECT_EQ(stopAt.load(), heard.back().at) << "nothing is reported after the stop";

    // The page posts again at once: the upload resumes where the server's copy ends.
    PageSink resumed(poster);
    Start(poster, resumed, local, L"stopped.bin");
    ASSERT_TRUE(resumed.WaitForFinal(TransferLimit(size)));
    const std::vector<Heard> again = resumed.All();
    ASSERT_EQ(Heard::Complete, again.back().kind) << "error " << again.back().errorCode;
    EXPECT_TRUE(ServerCopy(link_, "stopped.bin") == local.Bytes()) << "the server's copy differs";
    const std::vector<Heard> progress = resumed.Progress();
    ASSERT_FALSE(progress.empty()) << "the resumed upload reported no progress";
    EXPECT_GT(progress.front().posted, static_cast<int64_t>(held)) << "the upload started afresh";
    EXPECT_LE(progress.front().at - stopAt, 6000u) << "the resumed upload's first report came "
                                                   << (progress.front().at - stopAt) << " ms after the stop";
}

}  // namespace
