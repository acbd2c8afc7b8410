// Log line format, file naming and the writers' guarantees.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "test_files.h"
#include "test_relay.h"

namespace {

std::time_t local_instant(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string stamp(std::time_t t) {
    std::ostringstream os;
    log_timestamp(os, &t);
    return os.str();
}

// Points the writers at a fresh file for one test and restores them after.
class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path() + "/log.txt";
        set_log_file(m_path);
        set_pid_prefix(4242);
    }
    void TearDown() override {
        set_log_file("VornProxyLog");
        std::snprintf(g_szPidPrefix, sizeof(g_szPidPrefix), "%s", "");
    }
    std::vector<std::string> Lines() const { return read_lines(m_path); }

    testkit::TempDir m_dir;
    std::string m_path;
};

// The text after "Pid:4242>  " and the 19-character timestamp.
std::string body_of(const std::string &line) {
    const std::string prefix = "Pid:4242>  ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() < prefix.size() + 19)
        return "<malformed: " + line + ">";
    return line.substr(prefix.size() + 19);
}

} // namespace

TEST(LogFormat, TimestampIsLocalTimeWithTwoDigitFields) {
    EXPECT_EQ("2009-12-29 18:05:03", stamp(local_instant(2009, 12, 29, 18, 5, 3)));
    EXPECT_EQ("2010-02-01 00:00:00", stamp(local_instant(2010, 2, 1, 0, 0, 0)));
    EXPECT_EQ("1999-01-09 09:09:59", stamp(local_instant(1999, 1, 9, 9, 9, 59)));
}

TEST(LogFormat, PutTwoDigitsWritesLeadingZero) {
    char buf[3] = {0};
    EXPECT_EQ(buf + 2, put_two_digits(buf, 7));
    EXPECT_EQ(std::string("07"), std::string(buf, 2));
    put_two_digits(buf, 99);
    EXPECT_EQ(std::string("99"), std::string(buf, 2));
}

TEST(LogFormat, DatedFileNameEndsInTodaysDate) {
    auto today = [] {
        std::time_t now = std::time(nullptr);
        char buf[16];
        std::strftime(buf, sizeof(buf), "%Y%m%d", std::localtime(&now));
        return std::string("VornProxyLog") + buf + ".txt";
    };
    std::string before = today();
    std::string name = "VornProxyLog";
    append_log_date(name);
    std::string after = today();
    EXPECT_TRUE(name == before || name == after) << name;
}

TEST(LogFormat, PidPrefixHasTwoBlanks) {
    set_pid_prefix(3120);
    EXPECT_STREQ("Pid:3120>  ", g_szPidPrefix);
    std::snprintf(g_szPidPrefix, sizeof(g_szPidPrefix), "%s", "");
}

TEST_F(LogFileTest, FreeWriterAppendsPrefixedLineAndEchoes) {
    testing::internal::CaptureStdout();
    write_log_line(LogLine() << "> In sh_load_exit");
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("> In sh_load_exit", body_of(lines[0]));
    EXPECT_EQ(lines[0] + "\n", out);
}

TEST_F(LogFileTest, MemberWriterEchoesOnlyWithConsoleOn) {
    GameServerThunk thunk(TEST_RELAY_HOST);
    thunk.m_bConsole = false;
    testing::internal::CaptureStdout();
    thunk.WriteLog(LogLine() << ">quiet");
    std::string quiet = testing::internal::GetCapturedStdout();
    thunk.m_bConsole = true;
    testing::internal::CaptureStdout();
    thunk.WriteLog(LogLine() << ">loud");
    std::string loud = testing::internal::GetCapturedStdout();

    EXPECT_EQ("", quiet);
    EXPECT_NE(std::string::npos, loud.find(">loud"));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(">quiet", body_of(lines[0]));
    EXPECT_EQ(">loud", body_of(lines[1]));
}

TEST_F(LogFileTest, LimitedWriterPassesFortyNineLinesBetweenResets) {
    GameServerThunk thunk(TEST_RELAY_HOST);
    thunk.m_bConsole = false;
    for (int i = 0; i < 60; ++i)
        thunk.WriteLogLimited(LogLine() << "limited " << i);
    EXPECT_EQ(60, thunk.m_nLimitedLogCount.load());
    thunk.m_nLimitedLogCount = 0; // what an opened connection does
    for (int i = 0; i < 60; ++i)
        thunk.WriteLogLimited(LogLine() << "again " << i);

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(98u, lines.size());
    EXPECT_EQ("limited 0", body_of(lines[0]));
    EXPECT_EQ("limited 48", body_of(lines[48]));
    EXPECT_EQ("again 0", body_of(lines[49]));
    EXPECT_EQ("again 48", body_of(lines[97]));
}

TEST_F(LogFileTest, WritersOnManyThreadsNeverMixLines) {
    GameServerThunk thunk(TEST_RELAY_HOST);
    thunk.m_bConsole = false;
    const int kThreads = 4;
    const int kLines = 200;
    const std::string filler(300, 'x');
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                if (t % 2 == 0)
                    thunk.WriteLog(LogLine() << "member " << t << " " << i << " " << filler);
                else
                    write_log_line(LogLine() << "free " << t << " " << i << " " << filler);
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    testing::internal::GetCapturedStdout();

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    std::vector<int> next(kThreads, 0);
    for (const std::string &line : lines) {
        std::istringstream is(body_of(line));
        std::string kind, rest;
        int t = -1, i = -1;
        is >> kind >> t >> i >> rest;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(t % 2 == 0 ? "member" : "free", kind);
        EXPECT_EQ(next[t]++, i) << "lines of one thread out of order or lost";
        EXPECT_EQ(filler, rest);
    }
}

TEST_F(LogFileTest, MissingDirectoryLosesFileLineButStillEchoes) {
    set_log_file(m_dir.Path() + "/no/such/dir/log.txt");
    testing::internal::CaptureStdout();
    write_log_line(LogLine() << "> still echoed");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("> still echoed"));
    EXPECT_FALSE(file_exists(m_dir.Path() + "/no/such/dir/log.txt"));
}

// The log file is written in text mode: CR LF ends each line on Windows, LF
// elsewhere, for both kinds of writer.
TEST_F(LogFileTest, LinesEndInThePlatformsLineEnd) {
#if defined(_WIN32)
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    GameServerThunk thunk(TEST_RELAY_HOST);
    thunk.m_bConsole = false;
    testing::internal::CaptureStdout();
    write_log_line(LogLine() << "> free");
    thunk.WriteLog(LogLine() << ">member");
    testing::internal::GetCapturedStdout();

    std::ifstream in(m_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t first = bytes.find(eol);
    ASSERT_NE(std::string::npos, first) << bytes;
    EXPECT_EQ("> free", body_of(bytes.substr(0, first)));
    const std::string second = bytes.substr(first + eol.size());
    ASSERT_GE(second.size(), eol.size());
    EXPECT_EQ(eol, second.substr(second.size() - eol.size()));
    EXPECT_EQ(">member", body_of(second.substr(0, second.size() - eol.size())));
}
