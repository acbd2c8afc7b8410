// The keys of QVThunkConfig.xml with their defaults, and the reader that
// takes every key's value from the file into a plain struct, saying for each
// whether the file gave it. The relay's readers apply these values to the
// relay object and write their own lines about them.
#pragma once

#include <cstdint>
#include <string>

#include "config/xml.h"

const char *const CONFIG_KEY_START = "GameThunkServer:GameThunkServer_Start";
const char *const CONFIG_KEY_IP = "GameThunkServer:VOZevezu_Host:ip";
const char *const CONFIG_KEY_PORT = "GameThunkServer:VOZevezu_Host:port";
const char *const CONFIG_KEY_CONSOLE = "GameThunkServer:Console";
const char *const CONFIG_KEY_LOG_CONNECTION_ERROR = "GameThunkServer:LogConnectionError";
const char *const CONFIG_KEY_TRY_INTERVAL = "GameThunkServer:TryConnectionInteval";
const char *const CONFIG_KEY_CHECK_INTERVAL = "GameThunkServer:MaxCheckConnectionInterval";
const char *const CONFIG_KEY_QUEUE_MODE = "GameThunkServer:QueueMode";

// Start, Console, LogConnectionError and QueueMode default to off.
const bool CONFIG_DEFAULT_SWITCH = false;
const char *const CONFIG_DEFAULT_IP = "127.0.0.1";
const int32_t CONFIG_DEFAULT_PORT = 15306;
// Both intervals, in milliseconds.
const uint32_t CONFIG_DEFAULT_INTERVAL = 60000;

// One key's value: the leaf's converted text when bFound, otherwise the
// default (the element or leaf is missing, or the text did not convert).
template <class T> struct ConfigValue {
    T value;
    bool bFound;
};

// Every key of the file, as written there or defaulted.
struct RelayConfig {
    ConfigValue<bool> start;
    // The text as written: text that is not a dotted IPv4 address leaves the
    // relay's server host as it was (127.0.0.1 after start-up).
    ConfigValue<std::string> ip;
    // As written; the relay connects to config_port_number of it.
    ConfigValue<int32_t> port;
    ConfigValue<bool> console;
    ConfigValue<bool> logConnectionError;
    // Milliseconds; the monitor paces in whole seconds, the value / 1000.
    ConfigValue<uint32_t> tryInterval;
    ConfigValue<uint32_t> checkInterval;
    ConfigValue<bool> queueMode;
};

// Takes every key from a loaded document.
void read_config(XmlDocument &doc, RelayConfig *config);
// Loads the file into a document of its own and takes every key from it: 0,
// or -1 when the file cannot be opened (every key then holds its default).
int read_config_file(const std::string &path, RelayConfig *config);
// The TCP port that a port value stands for: its low 16 bits, so 70000
// gives 4464 and -1 gives 65535.
uint16_t config_port_number(int32_t port);
