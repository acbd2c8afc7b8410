// The host side of a relay object in a unit test: no callback registered and
// no configuration file named.
#pragma once

#include <atomic>
#include <string>

#include "relay/game_server_thunk.h"

inline std::atomic<SendFunc> g_testNoSend(nullptr);
inline std::atomic<Func1002> g_testNoFunc1002(nullptr);
inline std::atomic<Func1003> g_testNoFunc1003(nullptr);
inline std::string test_no_config_file() {
    return std::string();
}
inline const RelayHost TEST_RELAY_HOST = {&g_testNoSend, &g_testNoFunc1002, &g_testNoFunc1003,
                                          test_no_config_file};
