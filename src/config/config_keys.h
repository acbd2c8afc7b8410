// Every key of QVThunkConfig.xml, described once. The configuration reader,
// the configuration check, the fuzz target and the test kit's file writer
// all expand this table, so a new key is one row here plus the code that
// uses its value.
//
// Header only and free of the reader's types, so that the test kit can use
// it without linking the relay.
#pragma once

#include <cstdint>
#include <string>

// How the configuration check judges a value.
enum ConfigKind {
    CONFIG_KIND_SWITCH,  // 0 or 1
    CONFIG_KIND_PACE,    // milliseconds, counted by the monitor in whole passes
    CONFIG_KIND_IP,      // dotted IPv4 address
    CONFIG_KIND_PORT,    // TCP port; its low 16 bits are used
    CONFIG_KIND_TIMEOUT, // milliseconds; 0 leaves the platform's own time-out
    CONFIG_KIND_BYTES,   // a size in bytes; 0 leaves the platform's own sizing
};

// Who reads a key, and when, as the relay's readers do (the readers column
// says it for whoever reads the table). A key read at every attempt is read
// at the monitor's start as well.
enum ConfigReaders : uint32_t {
    CONFIG_READ_LOAD_START = 1,    // read_xml_global, at every sh_load_start
    CONFIG_READ_MONITOR_START = 2, // read_xml_config, once per relay object
    CONFIG_READ_ATTEMPT = 4,       // read_xml_config_try_connection, every attempt
};
const uint32_t CONFIG_READ_START_AND_ATTEMPT = CONFIG_READ_MONITOR_START | CONFIG_READ_ATTEMPT;

// One row per key, in the order of the file's usual layout:
//   ROW(NAME, field, key path, value type, default, kind, readers, named)
// CONFIG_KEY_<NAME> is the key path; field names the key's member in
// RelayConfig (and in the test kit's ThunkConfig); named says that a
// connection attempt writes "Err <key> Usedefault " when the key takes its
// default. The value goes to the target in the trailing comment.
#define RELAY_CONFIG_KEYS(ROW)                                                                     \
    ROW(START, start, "GameThunkServer:GameThunkServer_Start", bool, false, CONFIG_KIND_SWITCH,    \
        CONFIG_READ_LOAD_START, false) /* g_bGameThunkServerStart */                               \
    ROW(CONSOLE, console, "GameThunkServer:Console", bool, false, CONFIG_KIND_SWITCH,              \
        CONFIG_READ_MONITOR_START, false) /* m_bConsole */                                         \
    ROW(LOG_CONNECTION_ERROR, logConnectionError, "GameThunkServer:LogConnectionError", bool,      \
        false, CONFIG_KIND_SWITCH, CONFIG_READ_START_AND_ATTEMPT,                                  \
        true) /* m_bLogConnectionError */                                                          \
    ROW(TRY_INTERVAL, tryInterval, "GameThunkServer:TryConnectionInteval", uint32_t, 60000u,       \
        CONFIG_KIND_PACE, CONFIG_READ_START_AND_ATTEMPT, true) /* m_nTryInterval */                \
    ROW(CHECK_INTERVAL, checkInterval, "GameThunkServer:MaxCheckConnectionInterval", uint32_t,     \
        60000u, CONFIG_KIND_PACE, CONFIG_READ_MONITOR_START, false) /* m_nCheckInterval */         \
    ROW(QUEUE_MODE, queueMode, "GameThunkServer:QueueMode", bool, false, CONFIG_KIND_SWITCH,       \
        CONFIG_READ_MONITOR_START, false) /* m_bQueueMode */                                       \
    ROW(IP, ip, "GameThunkServer:VOZevezu_Host:ip", std::string, "127.0.0.1", CONFIG_KIND_IP,      \
        CONFIG_READ_START_AND_ATTEMPT, true) /* m_ServerAddr.host */                               \
    ROW(PORT, port, "GameThunkServer:VOZevezu_Host:port", int32_t, 15306, CONFIG_KIND_PORT,        \
        CONFIG_READ_START_AND_ATTEMPT, true) /* m_ServerAddr.port */                               \
    ROW(DEAD_LINK_TIMEOUT, deadLinkTimeout, "GameThunkServer:DeadLinkTimeout", uint32_t, 60000u,   \
        CONFIG_KIND_TIMEOUT, CONFIG_READ_START_AND_ATTEMPT, false) /* m_nDeadLinkTimeout */        \
    ROW(CONNECT_TIMEOUT, connectTimeout, "GameThunkServer:ConnectTimeout", uint32_t, 0u,           \
        CONFIG_KIND_TIMEOUT, CONFIG_READ_START_AND_ATTEMPT, false) /* m_nConnectTimeout */         \
    ROW(SEND_BUFFER_SIZE, sendBufferSize, "GameThunkServer:SendBufferSize", uint32_t, 1048576u,    \
        CONFIG_KIND_BYTES, CONFIG_READ_START_AND_ATTEMPT, false) /* m_nSendBufferSize */

// Every key path, for code that walks the keys rather than naming them.
#define RELAY_CONFIG_KEY_PATH(NAME, field, path, type, def, kind, readers, named) path,
inline constexpr const char *CONFIG_KEY_PATHS[] = {RELAY_CONFIG_KEYS(RELAY_CONFIG_KEY_PATH)};
#undef RELAY_CONFIG_KEY_PATH

// The key texts under their usual names.
#define RELAY_CONFIG_KEY_NAME(NAME, field, path, type, def, kind, readers, named)                  \
    inline constexpr const char *CONFIG_KEY_##NAME = path;
RELAY_CONFIG_KEYS(RELAY_CONFIG_KEY_NAME)
#undef RELAY_CONFIG_KEY_NAME
