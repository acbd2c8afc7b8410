#include "relay_host_test.h"

#include <chrono>
#include <regex>
#include <thread>

void RelayHostTest::TearDown() {
    if (m_bLaunched && m_host.Host().Running())
        ExpectCleanQuit();
    m_server.Stop();
}

void RelayHostTest::ExpectCleanQuit() {
    int status = m_host.Quit();
    EXPECT_EQ(0, status) << "the host did not end cleanly; its output:\n" << m_host.Host().Output();
}

void RelayHostTest::StartServer() {
    ASSERT_TRUE(m_server.Start()) << m_server.Error();
}

void RelayHostTest::LaunchHost(const testkit::ThunkConfig &config) {
    ASSERT_TRUE(m_host.Prepare(config)) << m_host.Error();
    ASSERT_TRUE(m_host.StartHost()) << m_host.Error();
    m_bLaunched = true;
}

void RelayHostTest::StartConnected(testkit::ThunkConfig config) {
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    WaitConnected();
}

void RelayHostTest::WaitConnected(size_t nConnections) {
    ASSERT_TRUE(m_server.WaitForAccepts(nConnections, LONG_WAIT_MS));
    ASSERT_TRUE(WaitForLog(">Connected To " + Peer(), nConnections));
}

std::string RelayHostTest::NextCallback(int nTimeoutMs) {
    std::string line;
    m_host.Host().WaitForLine(testkit::IsCallbackLine, nTimeoutMs, &line);
    return line;
}

std::string log_text(const std::string &line) {
    static const std::regex prefix(R"(^Pid:\d+>  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    std::smatch match;
    if (!std::regex_search(line, match, prefix))
        return line;
    return line.substr(static_cast<size_t>(match.length(0)));
}

std::vector<std::string> RelayHostTest::LogTexts() const {
    std::vector<std::string> texts;
    for (const std::string &line : m_host.LogLines())
        texts.push_back(log_text(line));
    return texts;
}

size_t RelayHostTest::CountLog(const std::string &needle) const {
    size_t n = 0;
    for (const std::string &text : LogTexts())
        n += text.find(needle) != std::string::npos;
    return n;
}

bool RelayHostTest::WaitForLog(const std::string &needle, size_t nCount, int nTimeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (CountLog(needle) < nCount) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

long exit_ms(const std::string &line) {
    if (line.compare(0, 6, "@exit ") != 0)
        return -1;
    return std::stol(line.substr(6));
}

size_t find_text(const std::vector<std::string> &texts, const std::string &wanted, size_t from) {
    for (size_t i = from; i < texts.size(); ++i)
        if (texts[i] == wanted)
            return i;
    return std::string::npos;
}
