// The configuration check: one warning per reader rule that changes a value
// the file gives, with the value the relay uses on the key's table line, none
// for a clean file; and the built tool's exit status.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "config_check.h"
#include "config_file.h"
#include "temp_dir.h"

using testkit::ThunkConfig;

namespace {

typedef std::optional<std::string> ThunkConfig::*Setting;

// A clean file with one setting written as given (null: left out) and raw
// XML added inside the top element.
std::string Clean(Setting setting = nullptr, const char *value = nullptr, const char *extra = "") {
    ThunkConfig config = ThunkConfig::Connecting(15306);
    if (setting && value)
        config.*setting = value;
    else if (setting)
        (config.*setting).reset();
    config.extra = extra;
    return testkit::RenderThunkConfig(config);
}

// A clean file whose VOZevezu_Host element is written as given.
std::string WithHost(const char *host) {
    ThunkConfig config = ThunkConfig::Connecting(15306);
    config.ip.reset();
    config.port.reset();
    config.extra = host;
    return testkit::RenderThunkConfig(config);
}

struct Rule {
    const char *what;
    std::string text;
    const char *line;              // the key's table line begins so, when set
    std::vector<std::string> says; // all in one warning line
    size_t nWarnings;
};

const Rule RULES[] = {
    {"ip on its own line",
     Clean(&ThunkConfig::ip, "\n      10.0.0.5\n    "),
     "VOZevezu_Host:ip 127.0.0.1 default",
     {"VOZevezu_Host:ip \"\\n      10.0.0.5\\n    \" holds line breaks", "tries 127.0.0.1",
      "<ip>10.0.0.5</ip>"},
     1},
    {"true for a switch",
     Clean(&ThunkConfig::start, "true"),
     "GameThunkServer_Start 0 default",
     {"GameThunkServer_Start \"true\" is not 0 or 1", "uses 0"},
     1},
    {"values as attributes",
     WithHost("  <VOZevezu_Host ip=\"10.0.0.5\" port=\"15400\"/>\n"),
     "VOZevezu_Host:port 15306 default",
     {"VOZevezu_Host:port is written as an attribute", "uses 15306", "<port>15400</port>"},
     2},
    {"tab after a tag name, losing the keys after it",
     WithHost("  <VOZevezu_Host>\n    <port\t>15400</port>\n    <ip>10.0.0.5</ip>\n"
              "  </VOZevezu_Host>\n"),
     "VOZevezu_Host:ip 127.0.0.1 default",
     {"<port is followed by a tab", "stops reading <VOZevezu_Host>"},
     1},
    {"line break after a tag name",
     Clean(&ThunkConfig::queueMode, nullptr, "  <QueueMode\n>1</QueueMode>\n"),
     "QueueMode 0 default",
     {"<QueueMode is followed by a line break", "stops reading <GameThunkServer>"},
     1},
    {"top element in other case",
     "<gamethunkserver>\n  <GameThunkServer_Start>1</GameThunkServer_Start>\n</gamethunkserver>\n",
     "GameThunkServer_Start 0 default",
     {"<gamethunkserver>", "case-sensitive", "every default"},
     1},
    {"port above 65535",
     Clean(&ThunkConfig::port, "70000"),
     "VOZevezu_Host:port 4464 file",
     {"VOZevezu_Host:port 70000 is above 65535; the relay connects to port 4464"},
     1},
    {"interval below 1000",
     Clean(&ThunkConfig::checkInterval, "500"),
     "MaxCheckConnectionInterval 500 ms file",
     {"MaxCheckConnectionInterval 500 ms is below 1000", "a keep-alive every pass (1 s)"},
     1},
    {"key spelt nearly right",
     Clean(&ThunkConfig::tryInterval, nullptr,
           "<TryConnectionInterval>5000</TryConnectionInterval>"),
     "TryConnectionInteval 60000 ms default",
     {"TryConnectionInterval is not a key", "reads TryConnectionInteval", "uses 60000 ms"},
     1},
    {"characters after a number",
     Clean(&ThunkConfig::tryInterval, "60000ms"),
     "TryConnectionInteval 60000 ms file",
     {"TryConnectionInteval \"60000ms\"", "reads 60000 and ignores \"ms\""},
     1},
    {"hexadecimal, which reads 0 and so gives port 0",
     Clean(&ThunkConfig::port, "0x3bca"),
     "VOZevezu_Host:port 0 file",
     {"\"0x3bca\" is hexadecimal", "reads 0", "in decimal, 15306"},
     2},
    {"number that does not convert",
     Clean(&ThunkConfig::port, "abc"),
     "VOZevezu_Host:port 15306 default",
     {"VOZevezu_Host:port \"abc\" is not a decimal number", "uses 15306"},
     1},
    {"negative interval",
     Clean(&ThunkConfig::tryInterval, "-1"),
     "TryConnectionInteval 4294967295 ms file",
     {"\"-1\" is negative and reads as 4294967295 ms", "an attempt every 4294968 s"},
     1},
    {"address never tried",
     Clean(&ThunkConfig::ip, "0.0.0.0"),
     "VOZevezu_Host:ip 0.0.0.0 file",
     {"0.0.0.0 is an address the relay never tries"},
     1},
    {"unknown element",
     Clean(nullptr, nullptr, "<Foo>1</Foo>"),
     nullptr,
     {"Foo is not a key the relay reads; it is ignored"},
     1},
    {"duplicate leaf",
     Clean(nullptr, nullptr, "<Console>1</Console>"),
     "Console 1 file",
     {"Console is given twice", "the later one, \"1\", not \"0\""},
     1},
    {"comment inside a leaf",
     Clean(&ThunkConfig::port, "<!-- usual -->15400"),
     "VOZevezu_Host:port 15306 default",
     {"VOZevezu_Host:port holds a '<'", "uses 15306"},
     1},
    {"time-out that does not convert",
     Clean(&ThunkConfig::connectTimeout, "soon"),
     "ConnectTimeout 0 ms default",
     {"ConnectTimeout \"soon\" is not a decimal number", "uses 0 ms"},
     1},
    {"size with characters after the number",
     Clean(&ThunkConfig::sendBufferSize, "65536B"),
     "SendBufferSize 65536 bytes file",
     {"SendBufferSize \"65536B\" has characters after the number", "reads 65536 and ignores"},
     1},
    {"negative time-out",
     Clean(&ThunkConfig::deadLinkTimeout, "-1"),
     "DeadLinkTimeout 4294967295 ms file",
     {"DeadLinkTimeout \"-1\" is negative and reads as 4294967295 ms", "or 0 for the platform"},
     1},
    {"dead-link time-out below 1000",
     Clean(&ThunkConfig::deadLinkTimeout, "500"),
     "DeadLinkTimeout 500 ms file",
     {"DeadLinkTimeout 500 ms is below 1000", "a single lost packet's retransmission",
      "ends the link", "write milliseconds, 1000 or more"},
     1},
    {"connect time-out below 1000",
     Clean(&ThunkConfig::connectTimeout, "300"),
     "ConnectTimeout 300 ms file",
     {"ConnectTimeout 300 ms is below 1000", "a distant server never completes",
      "write milliseconds, 1000 or more"},
     1},
    {"send buffer below 4096",
     Clean(&ThunkConfig::sendBufferSize, "100"),
     "SendBufferSize 100 bytes file",
     {"SendBufferSize 100 bytes is below 4096", "the platform raises it to its minimum"},
     1},
    {"tag inside a comment",
     WithHost("  <VOZevezu_Host>\n    <!-- <ip>10.0.0.6</ip> -->\n    <port>15400</port>\n"
              "  </VOZevezu_Host>\n"),
     "VOZevezu_Host:port 15306 default",
     {"stops reading <VOZevezu_Host> at \"</ip>\"", "a tag inside a comment ends it early"},
     1},
};

// The printed table line of a key, runs of blanks made one.
std::string TableLine(const ConfigCheck &check, const std::string &key) {
    std::ostringstream out;
    print_config_check(out, "QVThunkConfig.xml", check);
    for (const std::string &line : testkit::SplitLines(out.str())) {
        std::istringstream words(line);
        std::string word, joined;
        while (words >> word)
            joined += (joined.empty() ? "" : " ") + word;
        if (joined.compare(0, key.size() + 1, key + " ") == 0)
            return joined;
    }
    return std::string();
}

std::string Joined(const std::vector<std::string> &warnings) {
    std::string all;
    for (const std::string &warning : warnings)
        all += warning + "\n";
    return all;
}

bool SaysAll(const std::string &warning, const std::vector<std::string> &pieces) {
    for (const std::string &piece : pieces) {
        if (warning.find(piece) == std::string::npos)
            return false;
    }
    return true;
}

} // namespace

TEST(ConfigCheckTest, EachRuleGivesItsWarningAndTheValueTheRelayUses) {
    const ConfigCheck clean = check_config_text(Clean());
    EXPECT_TRUE(clean.warnings.empty()) << Joined(clean.warnings);
    EXPECT_EQ("VOZevezu_Host:port 15306 file the port the relay connects to",
              TableLine(clean, "VOZevezu_Host:port"));
    EXPECT_EQ("TryConnectionInteval 1000 ms file an attempt every 2 s",
              TableLine(clean, "TryConnectionInteval"));
    EXPECT_EQ("result: the relay starts and connects to 127.0.0.1 port 15306", clean.result);
    EXPECT_EQ(0, config_check_status(clean));

    // 0 leaves a time-out or the send buffer to the platform, without a warning.
    ThunkConfig zeros = ThunkConfig::Connecting(15306);
    zeros.deadLinkTimeout = zeros.connectTimeout = zeros.sendBufferSize = "0";
    const ConfigCheck platform = check_config_text(testkit::RenderThunkConfig(zeros));
    EXPECT_TRUE(platform.warnings.empty()) << Joined(platform.warnings);
    for (const char *key : {"DeadLinkTimeout 0 ms file the platform's time-out",
                            "ConnectTimeout 0 ms file the platform's time-out",
                            "SendBufferSize 0 bytes file the platform sizes"}) {
        const std::string line = key;
        EXPECT_EQ(line, TableLine(platform, line.substr(0, line.find(' '))).substr(0, line.size()));
    }

    for (const Rule &rule : RULES) {
        SCOPED_TRACE(rule.what);
        const ConfigCheck check = check_config_text(rule.text);
        const std::string all = Joined(check.warnings);
        EXPECT_EQ(rule.nWarnings, check.warnings.size()) << all;
        bool bSaid = false;
        for (const std::string &warning : check.warnings)
            bSaid =
                bSaid || (warning.compare(0, 9, "warning: ") == 0 && SaysAll(warning, rule.says));
        EXPECT_TRUE(bSaid) << all;
        if (rule.line) {
            const std::string line = rule.line;
            EXPECT_EQ(line + " ",
                      TableLine(check, line.substr(0, line.find(' '))).substr(0, line.size() + 1));
        }
    }
}

TEST(ConfigCheckTest, ToolExitsZeroOnlyWhenTheRelayStartsAndCanConnect) {
    testkit::TempDir dir;
    ASSERT_TRUE(dir.Ok()) << dir.Error();
    auto run = [&dir](const std::vector<std::string> &args, std::string *pOutput) {
        testkit::ChildProcess tool;
        EXPECT_TRUE(tool.Start(CONFIG_CHECK_PATH, args, dir.Path())) << tool.Error();
        const int status = tool.Wait(60000);
        *pOutput = tool.Output();
        return status;
    };
    std::string output;
    ThunkConfig config = ThunkConfig::Connecting(15306);
    ASSERT_TRUE(testkit::WriteThunkConfig(dir.Path(), config));
    EXPECT_EQ(0, run({}, &output)) << output; // QVThunkConfig.xml in the current directory
    EXPECT_NE(std::string::npos, output.find("result: the relay starts and connects")) << output;

    config.start = "0";
    ASSERT_TRUE(dir.WriteFile("off.xml", testkit::RenderThunkConfig(config)));
    EXPECT_EQ(1, run({dir.Join("off.xml")}, &output)) << output;
    config.start = "1";
    config.ip = "255.255.255.255";
    ASSERT_TRUE(dir.WriteFile("nowhere.xml", testkit::RenderThunkConfig(config)));
    EXPECT_EQ(1, run({dir.Join("nowhere.xml")}, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("warning: VOZevezu_Host:ip 255.255.255.255"))
        << output;

    EXPECT_EQ(1, run({dir.Join("missing.xml")}, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("the relay refuses to start")) << output;
    EXPECT_EQ(2, run({"--no-such-option"}, &output)) << output;
}
