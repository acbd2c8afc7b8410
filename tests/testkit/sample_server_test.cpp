// The sample server as a process: port line, echo, pacing, misbehaviour,
// clean exit on signals and its summary.
#include <gtest/gtest.h>

#include "child_process.h"
#include "test_client.h"

using namespace testkit;

namespace {

const int WAIT_MS = 15000;

class SampleServer : public ::testing::Test {
protected:
    // Starts the server and reads its port from the first line.
    void Launch(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", "0"});
        ASSERT_TRUE(server.Start(SAMPLE_SERVER_PATH, args)) << server.Error();
        std::string line;
        ASSERT_TRUE(server.WaitForLine("listening on 127.0.0.1:", WAIT_MS, &line))
            << server.Output();
        port = static_cast<uint16_t>(std::stoi(line.substr(line.find(':') + 1)));
        ASSERT_NE(0, port);
    }

    ChildProcess server;
    uint16_t port = 0;
    TestClient client;
};

TEST_F(SampleServer, EchoesAndPrintsPacketsThenStopsOnSigterm) {
    Launch({});
    ASSERT_TRUE(client.Connect(port));
    Bytes packet = EncodePacket('D', 7, ToBytes("abc"));
    ASSERT_TRUE(client.Send(packet));
    EXPECT_EQ(packet, client.Receive(packet.size(), WAIT_MS));
    EXPECT_TRUE(server.WaitForLine("recv #1 D id=7 size=3 616263", WAIT_MS));
    ASSERT_TRUE(server.Terminate());
    EXPECT_EQ(0, server.Wait(WAIT_MS));
    EXPECT_EQ("summary: received 1 packets (12 bytes) in 1 connections, sent 1 packets",
              server.Lines().back());
}

TEST_F(SampleServer, SendsKPacketsAtItsPaceAndStopsOnSigint) {
    Launch({"--k-every", "50", "--no-echo"});
    ASSERT_TRUE(client.Connect(port));
    Bytes value;
    PutU32le(&value, 10);
    EXPECT_EQ(EncodePacket('K', 1, value), client.Receive(13, WAIT_MS));
    ASSERT_TRUE(server.Interrupt());
    EXPECT_EQ(0, server.Wait(WAIT_MS));
}

TEST_F(SampleServer, SendsAnUnknownTypeWhenAskedTo) {
    Launch({"--misbehave", "unknown-type"});
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(EncodePacket('Z', 0, Bytes()), client.Receive(9, WAIT_MS));
}

TEST_F(SampleServer, SendsGarbageWhenAskedTo) {
    Launch({"--misbehave", "garbage"});
    ASSERT_TRUE(client.Connect(port));
    Bytes got = client.Receive(12, WAIT_MS);
    ASSERT_EQ(12u, got.size());
    EXPECT_GT(GetU32le(got.data()), 5000u); // a length no receiver accepts
}

TEST_F(SampleServer, ResetsClientsWhenAskedTo) {
    Launch({"--misbehave", "reset"});
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(TestClient::END_RESET, client.WaitForEnd(WAIT_MS));
}

TEST_F(SampleServer, ClosesClientsWhenAskedTo) {
    Launch({"--misbehave", "close"});
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(TestClient::END_CLOSED, client.WaitForEnd(WAIT_MS));
}

TEST_F(SampleServer, QuietRunEndsOnItsOwnWithASummary) {
    Launch({"--quiet", "--duration", "1"});
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send(EncodePacket('C', 0, Bytes())));
    EXPECT_EQ(0, server.Wait(WAIT_MS));
    std::vector<std::string> lines = server.Lines();
    ASSERT_EQ(2u, lines.size()) << server.Output();
    EXPECT_EQ(0u, lines[1].find("summary: received "));
}

TEST(SampleServerOptions, HelpAndBadOptions) {
    ChildProcess help;
    ASSERT_TRUE(help.Start(SAMPLE_SERVER_PATH, {"--help"}));
    EXPECT_EQ(0, help.Wait(WAIT_MS));
    EXPECT_NE(std::string::npos, help.Output().find("--misbehave"));

    ChildProcess bad;
    ASSERT_TRUE(bad.Start(SAMPLE_SERVER_PATH, {"--misbehave", "politely"}));
    EXPECT_EQ(2, bad.Wait(WAIT_MS));
    EXPECT_NE(std::string::npos, bad.Output().find("bad value for --misbehave"));

    ChildProcess badAddress;
    ASSERT_TRUE(badAddress.Start(SAMPLE_SERVER_PATH, {"--bind", "300.1.1.1"}));
    EXPECT_EQ(1, badAddress.Wait(WAIT_MS));
    EXPECT_NE(std::string::npos, badAddress.Output().find("not an IPv4 address: 300.1.1.1"));
}

} // namespace
