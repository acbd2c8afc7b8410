#include <gtest/gtest.h>

#include "host_script.h"
#include "wire.h"

using host::ParseScriptCommand;
using host::ScriptCommand;
using host::ScriptOp;

namespace {

ScriptCommand Parse(const std::string &line) {
    ScriptCommand cmd;
    std::string error;
    EXPECT_TRUE(ParseScriptCommand(line, &cmd, &error)) << line << ": " << error;
    return cmd;
}

std::string Reject(const std::string &line) {
    ScriptCommand cmd;
    std::string error;
    EXPECT_FALSE(ParseScriptCommand(line, &cmd, &error)) << line;
    return error;
}

TEST(HostScript, ParsesEveryCommand) {
    ScriptCommand cmd = Parse("start nullrec nosend");
    EXPECT_EQ(ScriptOp::START, cmd.op);
    EXPECT_TRUE(cmd.bNoSend);
    EXPECT_TRUE(cmd.bNullRec);
    EXPECT_FALSE(Parse("start").bNoSend);

    cmd = Parse("send D 4294967295 00ffAB");
    EXPECT_EQ(ScriptOp::SEND, cmd.op);
    EXPECT_EQ('D', cmd.type);
    EXPECT_EQ(4294967295u, cmd.nId);
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0xff, 0xab}), cmd.data);

    cmd = Parse("  rec 0x7f 3 -  ");
    EXPECT_EQ(ScriptOp::REC, cmd.op);
    EXPECT_EQ(0x7f, cmd.type);
    EXPECT_TRUE(cmd.data.empty());

    cmd = Parse("sendn K 1 -2147483648");
    EXPECT_EQ(ScriptOp::SENDN, cmd.op);
    EXPECT_EQ(INT32_MIN, cmd.nLen);
    EXPECT_EQ(-5, Parse("sendnull -5").nLen);
    EXPECT_EQ(1002, Parse("setfunc 1002").nCode);
    EXPECT_FALSE(Parse("setfunc 1002").bNullFn);
    cmd = Parse("setfunc 1003 null");
    EXPECT_EQ(1003, cmd.nCode);
    EXPECT_TRUE(cmd.bNullFn);
    EXPECT_EQ(4294967295u, Parse("getdata 4294967295").nBufSize);
    EXPECT_EQ(ScriptOp::GETDATA_NULL, Parse("getdata-null").op);
    EXPECT_TRUE(Parse("echo on").bEchoOn);
    EXPECT_FALSE(Parse("echo off").bEchoOn);
    cmd = Parse("flood 4 1000 8");
    EXPECT_EQ(4u, cmd.nThreads);
    EXPECT_EQ(1000u, cmd.nCount);
    EXPECT_EQ(8u, cmd.nSize);
    EXPECT_EQ(0u, cmd.nPauseUs);
    EXPECT_EQ(1500u, Parse("flood 8 10 100 1500").nPauseUs);
    EXPECT_EQ(250u, Parse("sleep 250").nMs);
    EXPECT_EQ(1100u, Parse("fds 1100").nFds);
    EXPECT_EQ(0u, Parse("fds 0").nFds);
    cmd = Parse("cycle 2000");
    EXPECT_EQ(ScriptOp::CYCLE, cmd.op);
    EXPECT_EQ(2000u, cmd.nCount);
    EXPECT_EQ(0u, cmd.nMs);
    EXPECT_EQ(30u, Parse("cycle 5 30").nMs);
    cmd = Parse("stall 14000");
    EXPECT_EQ(ScriptOp::STALL, cmd.op);
    EXPECT_EQ(14000u, cmd.nMs);
    EXPECT_EQ(ScriptOp::FAULT, Parse("fault").op);
    EXPECT_EQ(ScriptOp::RELOAD, Parse("reload").op);
    EXPECT_EQ(ScriptOp::MAXRECV, Parse("maxrecv").op);
    EXPECT_EQ(ScriptOp::EXIT, Parse("exit").op);
    EXPECT_EQ(ScriptOp::QUIT, Parse("quit").op);
    EXPECT_FALSE(Parse("quit").bNoStop);
    EXPECT_TRUE(Parse("quit nostop").bNoStop);
}

TEST(HostScript, RejectsMalformedCommands) {
    EXPECT_NE(std::string::npos, Reject("frob 1").find("unknown command frob"));
    Reject("");
    Reject("start later");
    Reject("send D 1");             // missing data
    Reject("send DD 1 00");         // type of two characters
    Reject("send 0xg1 1 00");       // bad hex type
    Reject("send D -1 00");         // negative id
    Reject("send D 4294967296 00"); // id too large
    Reject("send D 1 abc");         // odd hex
    Reject("send D 1 zz");
    Reject("sendn D 1 2147483648"); // beyond int32
    Reject("sendn D 1 12x");
    Reject("getdata -1");
    Reject("setfunc");
    Reject("setfunc 1003 nil");
    Reject("setfunc 1003 null 1");
    Reject("stall");
    Reject("stall 600001");
    Reject("fault now");
    Reject("maxrecv 1");
    Reject("quit later");
    Reject("echo maybe");
    Reject("flood 0 1 8");
    Reject("flood 65 1 8");
    Reject("flood 1 1 7");
    Reject("flood 1 1 8 1000001"); // pause beyond a second
    Reject("flood 1 1 8 5 6");
    Reject("sleep 600001");
    Reject("fds");
    Reject("fds 65537");
    Reject("fds -1");
    Reject("cycle");
    Reject("cycle 0");
    Reject("cycle 100001");
    Reject("cycle 5 10001");
    Reject("cycle 5 1 2");
    Reject("exit now");
}

TEST(HostScript, PreviewsDataWithAHashBeyond64Bytes) {
    std::vector<unsigned char> data = host::PatternPayload(65);
    EXPECT_EQ("-", host::DataPreview(data.data(), 0));
    EXPECT_EQ("-", host::DataPreview(data.data(), -4));
    EXPECT_EQ("null", host::DataPreview(nullptr, 3));
    EXPECT_EQ("000102", host::DataPreview(data.data(), 3));
    std::string full = host::DataPreview(data.data(), 64);
    EXPECT_EQ(128u, full.size());
    EXPECT_EQ("3e3f", full.substr(124));
    std::string cut = host::DataPreview(data.data(), 65);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", testkit::Fnv1a32(data.data(), 65));
    EXPECT_EQ(full + "... " + hash, cut);
}

TEST(HostScript, ShowsTypeBytes) {
    EXPECT_EQ("D", host::TypeText('D'));
    EXPECT_EQ("-", host::TypeText(0));
    EXPECT_EQ("0x20", host::TypeText(' '));
    EXPECT_EQ("0xff", host::TypeText(0xff));
}

} // namespace
