// Writes the relay's configuration file, QVThunkConfig.xml, for tests and
// tools. Every key of the relay's key table is an optional member, so a test
// can leave a key out, and holds the element's text as written, so a test
// can also write bad values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/config_keys.h"

namespace testkit {

extern const char THUNK_CONFIG_FILE_NAME[]; // "QVThunkConfig.xml"

struct ThunkConfig {
    // start, console, logConnectionError, tryInterval (ms), checkInterval
    // (ms), queueMode, ip, port, ...: one per key, named as in RelayConfig.
#define TESTKIT_CONFIG_FIELD(NAME, field, path, type, def, kind, readers, named)                   \
    std::optional<std::string> field;
    RELAY_CONFIG_KEYS(TESTKIT_CONFIG_FIELD)
#undef TESTKIT_CONFIG_FIELD
    std::string rootName = "GameThunkServer";
    std::string extra; // raw XML put just before the closing top-level tag

    // A relay that starts and connects to 127.0.0.1:nPort, console off,
    // connection errors logged, a retry every second or two (the monitor
    // works in whole seconds) and keep-alive packets once a minute.
    static ThunkConfig Connecting(uint16_t nPort);
};

std::string RenderThunkConfig(const ThunkConfig &config);
// Writes dir/QVThunkConfig.xml; false when the file cannot be written.
bool WriteThunkConfig(const std::string &dir, const ThunkConfig &config);

} // namespace testkit
