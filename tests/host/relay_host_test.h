// Fixture for host-level tests: a loopback server standing in for the
// VOZevezu, and the sample host, copied into a temp directory beside its
// configuration, loading the built module and driven by script commands.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_fixture.h"
#include "loopback_server.h"

const int LONG_WAIT_MS = 30000;

class RelayHostTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the loopback server on a free port.
    void StartServer();
    // Writes the configuration beside a fresh copy of the host and starts it.
    void LaunchHost(const testkit::ThunkConfig &config);
    // LaunchHost with a configuration that connects to the loopback server,
    // then "start", expecting 0.
    void StartConnected(testkit::ThunkConfig config);
    testkit::ThunkConfig Connecting() const {
        return testkit::ThunkConfig::Connecting(m_server.Port());
    }

    std::string Cmd(const std::string &line) { return m_host.Command(line); }
    // The next callback line ("@D ..." or "@K ...") of the host.
    std::string NextCallback(int nTimeoutMs = LONG_WAIT_MS);
    // Texts of the log lines after their prefix and timestamp.
    std::vector<std::string> LogTexts() const;
    size_t CountLog(const std::string &needle) const;
    // Polls the log until needle has appeared at least nCount times.
    bool WaitForLog(const std::string &needle, size_t nCount = 1,
                    int nTimeoutMs = LONG_WAIT_MS) const;
    // The peer text of log lines: "127.0.0.1-<port>".
    std::string Peer() const { return "127.0.0.1-" + std::to_string(m_server.Port()); }
    // Waits for the relay's connection and for its "Connected To" line.
    void WaitConnected(size_t nConnections = 1);
    // Quits the host and expects exit code 0 (no crash, no sanitizer report).
    void ExpectCleanQuit();
    // Starts a connected relay, exits it (optionally while the server floods
    // the link) and checks that the link ended in order.
    void ExitEndsTheLinkInOrder(bool bFlooding);

    testkit::LoopbackServer m_server;
    testkit::HostFixture m_host;
    bool m_bLaunched = false;
};

// The text of a log line after "Pid:<n>>  " and the 19-character timestamp;
// the whole line when it is not of that form.
std::string log_text(const std::string &line);
// Index of the first text equal to wanted at or after from; npos when none.
size_t find_text(const std::vector<std::string> &texts, const std::string &wanted, size_t from = 0);
// The milliseconds of the host's "@exit <ms>" answer; -1 for any other line.
long exit_ms(const std::string &line);
