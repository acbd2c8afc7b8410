// The log file as bytes: written in text mode, so each line ends in CR LF on
// Windows and in LF elsewhere, whichever writer wrote it.
#include <algorithm>
#include <string>

#include "relay_host_test.h"

TEST_F(RelayHostTest, LogFileUsesThePlatformsLineEnd) {
    StartServer();
    StartConnected(Connecting()); // lines of the free and the member writers
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    std::vector<std::string> files = m_host.LogFiles();
    ASSERT_EQ(1u, files.size());
    std::string content;
    ASSERT_TRUE(m_host.Dir().ReadFile("hook_log/" + files[0], &content));
    ASSERT_FALSE(content.empty());
    EXPECT_EQ('\n', content.back());
    size_t nLineFeeds = static_cast<size_t>(std::count(content.begin(), content.end(), '\n'));
    size_t nCrLf = 0;
    for (size_t pos = content.find("\r\n"); pos != std::string::npos;
         pos = content.find("\r\n", pos + 2))
        ++nCrLf;
    EXPECT_GE(nLineFeeds, 5u);
#if defined(_WIN32)
    EXPECT_EQ(nLineFeeds, nCrLf);
#else
    EXPECT_EQ(0u, nCrLf);
#endif
}
