#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "child_process.h"
#include "config_file.h"
#include "temp_dir.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

const int WAIT_MS = 10000;

// The programs the tests start: the system's own tools on POSIX, kit_child
// where those do not exist.
struct Program {
    std::string path;
    std::vector<std::string> args;
};

#if defined(_WIN32)
Program Cat() {
    return {KIT_CHILD_PATH, {"cat"}};
}
// "out" on stdout, "err" on stderr, "tail" without a line feed, exit code 3.
Program Report() {
    return {KIT_CHILD_PATH, {"report"}};
}
// The current directory and $KIT_EXTRA, one per line.
Program Where() {
    return {KIT_CHILD_PATH, {"where", "KIT_EXTRA"}};
}
Program Sleeper() {
    return {KIT_CHILD_PATH, {"sleep", "60"}};
}
Program Quick() {
    return {KIT_CHILD_PATH, {"true"}};
}

void SetEnv(const char *name, const std::string &value) {
    _putenv_s(name, value.c_str());
}
void UnsetEnv(const char *name) {
    _putenv_s(name, "");
}
#else
Program Cat() {
    return {"/bin/cat", {}};
}
Program Report() {
    return {"/bin/sh", {"-c", "echo out; echo err >&2; printf tail; exit 3"}};
}
Program Where() {
    return {"/bin/sh", {"-c", "pwd; echo \"$KIT_EXTRA\""}};
}
Program Sleeper() {
    return {"/bin/sleep", {"60"}};
}
Program Quick() {
    return {"/bin/true", {}};
}

void SetEnv(const char *name, const std::string &value) {
    setenv(name, value.c_str(), 1);
}
void UnsetEnv(const char *name) {
    unsetenv(name);
}
#endif

bool Start(ChildProcess &child, const Program &program, const std::string &workDir = "",
           const std::map<std::string, std::string> &extraEnv = {}) {
    return child.Start(program.path, program.args, workDir, extraEnv);
}

// ---- ChildProcess ------------------------------------------------------------

TEST(ChildProcess, ExchangesLinesAndConsumesThemOnce) {
    ChildProcess cat;
    ASSERT_TRUE(Start(cat, Cat())) << cat.Error();
    ASSERT_TRUE(cat.WriteLine("one 1"));
    ASSERT_TRUE(cat.WriteLine("two 2"));
    ASSERT_TRUE(cat.WriteLine("one 3"));
    std::string line;
    ASSERT_TRUE(cat.WaitForLine("two", WAIT_MS, &line));
    EXPECT_EQ("two 2", line);
    // Lines before a match stay available; matched ones are not returned again.
    ASSERT_TRUE(cat.WaitForLine("one", WAIT_MS, &line));
    EXPECT_EQ("one 1", line);
    ASSERT_TRUE(cat.WaitForLine("one", WAIT_MS, &line));
    EXPECT_EQ("one 3", line);
    cat.CloseStdin();
    EXPECT_EQ(0, cat.Wait(WAIT_MS));
    EXPECT_FALSE(cat.WaitForLine("one", WAIT_MS)); // output ended, nothing left
    EXPECT_EQ((std::vector<std::string>{"one 1", "two 2", "one 3"}), cat.Lines());
    EXPECT_EQ("one 1\ntwo 2\none 3\n", cat.Output());
}

TEST(ChildProcess, ReportsExitCodeAndMergesStderr) {
    ChildProcess sh;
    ASSERT_TRUE(Start(sh, Report())) << sh.Error();
    EXPECT_EQ(3, sh.Wait(WAIT_MS));
    std::vector<std::string> lines = sh.Lines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "out"));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "err"));
    EXPECT_EQ("tail", lines.back()); // a last line without a line feed
}

TEST(ChildProcess, RunsInTheWorkingDirectoryWithExtraEnvironment) {
    TempDir dir;
    ChildProcess pwd;
    ASSERT_TRUE(Start(pwd, Where(), dir.Path(), {{"KIT_EXTRA", "extra value"}})) << pwd.Error();
    EXPECT_EQ(0, pwd.Wait(WAIT_MS));
    ASSERT_EQ(2u, pwd.Lines().size());
#if defined(_WIN32)
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(dir.Path(), pwd.Lines()[0], ec)) << pwd.Lines()[0];
#else
    EXPECT_EQ(fs::canonical(dir.Path()).string(), pwd.Lines()[0]);
#endif
    EXPECT_EQ("extra value", pwd.Lines()[1]);
}

TEST(ChildProcess, KillsAChildThatOutlivesTheTimeout) {
    ChildProcess sleeper;
    ASSERT_TRUE(Start(sleeper, Sleeper())) << sleeper.Error();
    EXPECT_EQ(ChildProcess::WAIT_TIMED_OUT, sleeper.Wait(200));
    EXPECT_FALSE(sleeper.Running());
    EXPECT_EQ(ChildProcess::WAIT_TIMED_OUT, sleeper.Wait(0)); // the result stays
}

TEST(ChildProcess, FailsToStartAMissingProgram) {
    ChildProcess missing;
    EXPECT_FALSE(missing.Start("/nonexistent/program", {}));
    EXPECT_NE(std::string::npos, missing.Error().find("/nonexistent/program"));
    EXPECT_EQ(ChildProcess::NOT_STARTED, missing.Wait(0));
}

TEST(ChildProcess, WritingToAnEndedChildFailsWithoutSignal) {
    ChildProcess quick;
    ASSERT_TRUE(Start(quick, Quick())) << quick.Error();
    // Once the child has gone its stdin has no reader: the write must fail
    // instead of raising SIGPIPE in this process.
    bool bFailed = false;
    for (int i = 0; i < 1000 && !bFailed; ++i) {
        bFailed = !quick.WriteLine("x", 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(bFailed);
    EXPECT_EQ(0, quick.Wait(WAIT_MS));
}

// ---- TempDir -----------------------------------------------------------------

TEST(TempDir, MakesFreshDirectoriesAndRemovesThemWithTheirContent) {
    std::string path;
    {
        TempDir a;
        TempDir b;
        ASSERT_TRUE(a.Ok()) << a.Error();
        EXPECT_NE(a.Path(), b.Path());
        EXPECT_TRUE(fs::is_directory(a.Path()));
        ASSERT_TRUE(a.WriteFile("sub/dir/file.txt", "content\n"));
        ASSERT_TRUE(a.WriteFile("top.txt", ""));
        std::string text;
        ASSERT_TRUE(a.ReadFile("sub/dir/file.txt", &text));
        EXPECT_EQ("content\n", text);
        EXPECT_EQ((std::vector<std::string>{"sub", "top.txt"}), a.List());
        EXPECT_TRUE(a.List("missing").empty());
        EXPECT_FALSE(a.ReadFile("missing.txt", &text));
        path = a.Path();
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST(TempDir, UsesTheBaseFromTheEnvironment) {
    TempDir base;
    const char *old = std::getenv("RELAY_TEST_TMPDIR");
    std::string saved = old ? old : "";
    SetEnv("RELAY_TEST_TMPDIR", base.Join("nested"));
    {
        TempDir inner;
        ASSERT_TRUE(inner.Ok()) << inner.Error();
        EXPECT_EQ(base.Join("nested"), fs::path(inner.Path()).parent_path().string());
    }
    // A relative base still yields an absolute path. (A base on another drive
    // than the current directory has no relative form: then start from it.)
    std::error_code ec;
    fs::path previous = fs::current_path();
    fs::path relative = fs::relative(base.Path(), previous, ec);
    ASSERT_FALSE(ec);
    if (relative.empty()) {
        fs::current_path(base.Path());
        relative = ".";
    }
    SetEnv("RELAY_TEST_TMPDIR", relative.string());
    {
        TempDir inner;
        ASSERT_TRUE(inner.Ok()) << inner.Error();
        EXPECT_TRUE(fs::path(inner.Path()).is_absolute()) << inner.Path();
        EXPECT_TRUE(fs::equivalent(base.Path(), fs::path(inner.Path()).parent_path()));
    }
    fs::current_path(previous);
    if (old)
        SetEnv("RELAY_TEST_TMPDIR", saved);
    else
        UnsetEnv("RELAY_TEST_TMPDIR");
    EXPECT_EQ((std::vector<std::string>{"nested"}), base.List());
    EXPECT_TRUE(base.List("nested").empty());
}

TEST(TempDir, SplitsLines) {
    EXPECT_EQ((std::vector<std::string>{"a", "", "b", "c"}), SplitLines("a\r\n\nb\nc"));
    EXPECT_TRUE(SplitLines("").empty());
}

// ---- Configuration file -------------------------------------------------------

TEST(ConfigFile, RendersTheFullShape) {
    ThunkConfig config = ThunkConfig::Connecting(15306);
    config.console = "1";
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<GameThunkServer>\n"
              "  <GameThunkServer_Start>1</GameThunkServer_Start>\n"
              "  <Console>1</Console>\n"
              "  <LogConnectionError>1</LogConnectionError>\n"
              "  <TryConnectionInteval>1000</TryConnectionInteval>\n"
              "  <MaxCheckConnectionInterval>60000</MaxCheckConnectionInterval>\n"
              "  <QueueMode>0</QueueMode>\n"
              "  <VOZevezu_Host>\n"
              "    <ip>127.0.0.1</ip>\n"
              "    <port>15306</port>\n"
              "  </VOZevezu_Host>\n"
              "</GameThunkServer>\n",
              RenderThunkConfig(config));
}

TEST(ConfigFile, LeavesOutUnsetKeysAndWritesTheFile) {
    ThunkConfig config = ThunkConfig();
    config.start = "true";
    config.rootName = "gamethunkserver";
    config.extra = "  <Other>x</Other>\n";
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<gamethunkserver>\n"
              "  <GameThunkServer_Start>true</GameThunkServer_Start>\n"
              "  <Other>x</Other>\n"
              "</gamethunkserver>\n",
              RenderThunkConfig(config));

    TempDir dir;
    ASSERT_TRUE(WriteThunkConfig(dir.Path(), config));
    std::string text;
    ASSERT_TRUE(dir.ReadFile("QVThunkConfig.xml", &text));
    EXPECT_EQ(RenderThunkConfig(config), text);
    EXPECT_FALSE(WriteThunkConfig(dir.Join("missing/dir"), config));
}

} // namespace
