// Writes the relay's configuration file, QVThunkConfig.xml, for tests and
// tools. Every setting is optional so a test can leave a key out, and holds
// the element's text as written, so a test can also write bad values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace testkit {

extern const char THUNK_CONFIG_FILE_NAME[]; // "QVThunkConfig.xml"

struct ThunkConfig {
    std::optional<std::string> start;              // GameThunkServer_Start
    std::optional<std::string> console;            // Console
    std::optional<std::string> logConnectionError; // LogConnectionError
    std::optional<std::string> tryInterval;        // TryConnectionInteval (ms)
    std::optional<std::string> checkInterval;      // MaxCheckConnectionInterval (ms)
    std::optional<std::string> queueMode;          // QueueMode
    std::optional<std::string> ip;                 // VOZevezu_Host:ip
    std::optional<std::string> port;               // VOZevezu_Host:port
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
