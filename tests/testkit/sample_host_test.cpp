// The sample host as a process, driven in script mode against a stand-in
// module, and the host fixture that runs it from a temp dir.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "host_fixture.h"
#include "wire.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

const int WAIT_MS = 15000;

class SampleHostScript : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fixture.Prepare(ThunkConfig::Connecting(1))) << fixture.Error();
        ASSERT_TRUE(fixture.StartHost(STUB_RELAY_PATH)) << fixture.Error();
    }
    std::string Run(const std::string &line) { return fixture.Command(line, WAIT_MS); }
    std::string Callback(const std::string &prefix) {
        std::string line;
        fixture.Host().WaitForLine(prefix, WAIT_MS, &line);
        return line;
    }

    HostFixture fixture;
};

TEST_F(SampleHostScript, StartsOnceAndHandsOutTheReceiveFunction) {
    EXPECT_EQ("@rec nofunc", Run("rec D 1 -"));
    EXPECT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@start -102 pfrec=1", Run("start"));
    EXPECT_EQ("@start -102 pfrec=0", Run("start nullrec"));
    EXPECT_EQ("@rec nofunc", Run("rec D 1 -"));
    EXPECT_EQ(0u, Run("exit").find("@exit "));
    EXPECT_EQ("@start 0 pfrec=1", Run("start nosend"));
    EXPECT_EQ("@rec 0", Run("rec D 1 -"));
    EXPECT_EQ("@quit", Run("quit"));
    EXPECT_EQ(0, fixture.Host().Wait(WAIT_MS));
}

TEST_F(SampleHostScript, PrintsCallbacksWithDataPreviews) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@send 0", Run("send E 7 616263"));
    EXPECT_EQ("@D 7 3 616263", Callback("@D "));
    EXPECT_EQ("@rec 0", Run("rec E 8 -"));
    EXPECT_EQ("@D 8 0 -", Callback("@D "));

    EXPECT_EQ("@send 0", Run("sendn E 9 300"));
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", Fnv1a32(payload.data(), payload.size()));
    EXPECT_EQ("@D 9 300 " + ToHex(payload.data(), 64) + "... " + hash, Callback("@D "));

    EXPECT_EQ("@setfunc", Run("setfunc 1002"));
    EXPECT_EQ("@send 0", Run("send K 11 2a000001"));
    EXPECT_EQ("@K 11 16777258", Callback("@K "));
}

TEST_F(SampleHostScript, PassesSizesAndNullPointersThrough) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@send -1", Run("sendn D 1 -1"));
    EXPECT_EQ("@send -1", Run("sendn D 1 801"));
    EXPECT_EQ("@send 0", Run("sendn D 1 800"));
    EXPECT_EQ("@send -1", Run("sendn D 1 2147483647"));
    EXPECT_EQ("@send -1", Run("sendnull 5"));
    EXPECT_EQ("@send 0", Run("sendnull 0"));
    EXPECT_EQ("@flood 400 0", Run("flood 4 100 16"));
    EXPECT_EQ("@flood 0 20", Run("flood 2 10 801"));
    EXPECT_EQ("@flood 6 0", Run("flood 3 2 8 1000"));
    // 6 single calls and 426 of the floods; the count starts again after.
    EXPECT_TRUE(std::regex_match(Run("maxrecv"), std::regex("@maxrecv [0-9]+ 432")));
    EXPECT_EQ("@maxrecv 0 0", Run("maxrecv"));
}

#if defined(__linux__)
TEST_F(SampleHostScript, HoldsDescriptorsBeyondTheDefaultLimit) {
    std::string line = Run("fds 1100");
    ASSERT_EQ(0u, line.find("@fds 1100 ")) << line;
    EXPECT_GT(std::stoi(line.substr(line.rfind(' ') + 1)), 1024);
    const std::string fdDir = "/proc/" + std::to_string(fixture.Host().Pid()) + "/fd";
    size_t nOpen = 0;
    for (auto it = fs::directory_iterator(fdDir); it != fs::directory_iterator(); ++it)
        ++nOpen;
    EXPECT_GE(nOpen, 1100u);
    EXPECT_EQ(0u, Run("fds 10").find("@fds 10 "));
    EXPECT_EQ("@fds 0 -", Run("fds 0"));
}
#elif defined(_WIN32)
TEST_F(SampleHostScript, SaysDescriptorsCannotBeHeld) {
    EXPECT_EQ("@error fds is not available on this platform", Run("fds 10"));
}
#endif

TEST_F(SampleHostScript, CyclesStartAndExit) {
    EXPECT_EQ("@cycle 3 0", Run("cycle 3 1"));
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@error cycle needs a stopped relay", Run("cycle 1"));
    EXPECT_EQ("@start -102 pfrec=1", Run("start")) << "the refused cycle left the relay running";
}

TEST_F(SampleHostScript, ShowsWhatGetDataWrites) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@getdata 1 - 4294967295 4294967295 -", Run("getdata 16"));
    EXPECT_EQ("@send 0", Run("send D 5 0102"));
    EXPECT_EQ("@getdata 0 D 5 2 0102", Run("getdata 16"));
    EXPECT_EQ("@send 0", Run("send D 6 010203"));
    EXPECT_EQ("@getdata 2 - 4294967295 0 -", Run("getdata 2"));
    EXPECT_EQ("@getdata 1", Run("getdata-null"));
}

TEST_F(SampleHostScript, EchoHandsDMessagesBack) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ("@echo on", Run("echo on"));
    EXPECT_EQ("@send 0", Run("send E 4 abcd"));
    EXPECT_EQ("@D 4 2 abcd", Callback("@D "));
    // The echo went back through sh_recv as a "D", which the stand-in keeps.
    EXPECT_EQ("@getdata 0 D 4 2 abcd", Run("getdata 64"));
    EXPECT_EQ("@echo off", Run("echo off"));
}

TEST_F(SampleHostScript, AnswersBadCommandsAndEndsOnEof) {
    EXPECT_EQ("@error unknown command frob", Run("frob"));
    EXPECT_EQ(0u, Run("send D x 00").find("@error "));
    EXPECT_EQ("@slept", Run("sleep 1"));
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    fixture.Host().CloseStdin();
    EXPECT_EQ(0, fixture.Host().Wait(WAIT_MS));
    EXPECT_EQ("@quit", fixture.Host().Lines().back());
}

TEST(SampleHost, PrintsHelp) {
    ChildProcess host;
    ASSERT_TRUE(host.Start(HostFixture::SampleHostPath(), {"--help"}));
    EXPECT_EQ(0, host.Wait(WAIT_MS));
    EXPECT_NE(std::string::npos, host.Output().find("--script"));
    EXPECT_NE(std::string::npos, host.Output().find("flood <threads> <count> <size> [<pause_us>]"));
    EXPECT_NE(std::string::npos, host.Output().find("fds <n>"));
    EXPECT_NE(std::string::npos, host.Output().find("cycle <n> [<hold_ms>]"));
}

TEST(SampleHost, FailsClearlyWithoutAUsableModule) {
    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("not_a_module.so", "text"));
    for (const std::string &path : {dir.Join("missing.so"), dir.Join("not_a_module.so")}) {
        for (bool bScript : {false, true}) {
            ChildProcess host;
            std::vector<std::string> args = {"--module", path};
            if (bScript)
                args.push_back("--script");
            ASSERT_TRUE(host.Start(HostFixture::SampleHostPath(), args));
            EXPECT_EQ(2, host.Wait(WAIT_MS));
            EXPECT_NE(std::string::npos, host.Output().find("cannot load the module " + path))
                << host.Output();
        }
    }
}

TEST(SampleHost, DemoRunsThroughWhenNothingAnswers) {
    ChildProcess host;
    ASSERT_TRUE(
        host.Start(HostFixture::SampleHostPath(), {"--module", STUB_RELAY_PATH, "--count", "3",
                                                   "--interval", "0", "--wait", "100"}));
    EXPECT_EQ(0, host.Wait(WAIT_MS)) << host.Output();
    EXPECT_TRUE(host.WaitForLine("no answer from the server within 100 ms", 0));
    std::string last = host.Lines().back();
    EXPECT_EQ(0u, last.find("stopped in ")) << last;
    EXPECT_NE(std::string::npos, last.find("sent 3/3, received 0 D, 0 K")) << last;
}

TEST(SampleHost, RejectsBadOptions) {
    ChildProcess host;
    ASSERT_TRUE(host.Start(HostFixture::SampleHostPath(), {"--count", "many"}));
    EXPECT_EQ(2, host.Wait(WAIT_MS));
    EXPECT_NE(std::string::npos, host.Output().find("bad value for --count"));
}

TEST(HostFixture, RunsACopyOfTheHostBesideItsFiles) {
    HostFixture fixture;
    ASSERT_TRUE(fixture.Prepare(ThunkConfig::Connecting(4242))) << fixture.Error();
    fs::path copy = fixture.HostPath();
    EXPECT_EQ(fixture.Dir().Path(), copy.parent_path().string());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy)));
    std::string config;
    ASSERT_TRUE(fixture.Dir().ReadFile("QVThunkConfig.xml", &config));
    EXPECT_NE(std::string::npos, config.find("<port>4242</port>"));

    ASSERT_TRUE(fixture.StartHost(STUB_RELAY_PATH)) << fixture.Error();
    EXPECT_EQ("@start 0 pfrec=1", fixture.Command("start"));
    EXPECT_EQ(0, fixture.Quit());
    EXPECT_TRUE(fixture.Dir().Exists("cwd"));

    EXPECT_TRUE(fixture.LogLines().empty());
    ASSERT_TRUE(fixture.Dir().WriteFile("hook_log/VornProxyLog20100202.txt", "b1\r\nb2\r\n"));
    ASSERT_TRUE(fixture.Dir().WriteFile("hook_log/VornProxyLog20100201.txt", "a1\n"));
    EXPECT_EQ((std::vector<std::string>{"a1", "b1", "b2"}), fixture.LogLines());
    EXPECT_EQ(2u, fixture.LogFiles().size());
}

} // namespace
