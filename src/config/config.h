// The reader that takes every key of QVThunkConfig.xml (config_keys.h) from
// the file into a plain struct, saying for each whether the file gave it.
// The relay's readers apply these values to the relay object and write
// their own lines about them.
#pragma once

#include <cstdint>
#include <string>

#include "config/config_keys.h"
#include "config/xml.h"

// One key's value: the leaf's converted text when bFound, otherwise the
// default (the element or leaf is missing, or the text did not convert).
template <class T> struct ConfigValue {
    T value;
    bool bFound;
};

// Every key of the file, as written there or defaulted, one member per row
// of the key table. The ip text is kept as written: text that is not a
// dotted IPv4 address leaves the relay's server host as it was; the port
// as written, the relay connecting to config_port_number of it; intervals
// and time-outs in milliseconds.
struct RelayConfig {
#define RELAY_CONFIG_FIELD(NAME, field, path, type, def, kind, readers, named)                     \
    ConfigValue<type> field;
    RELAY_CONFIG_KEYS(RELAY_CONFIG_FIELD)
#undef RELAY_CONFIG_FIELD
};

// Takes every key from a loaded document.
void read_config(XmlDocument &doc, RelayConfig *config);
// Loads the file into a document of its own and takes every key from it: 0,
// or -1 when the file cannot be opened (every key then holds its default).
int read_config_file(const std::string &path, RelayConfig *config);
// The key path without its top element, as log lines name keys:
// "VOZevezu_Host:port".
std::string config_short_key(const std::string &keyPath);
// The TCP port that a port value stands for: its low 16 bits, so 70000
// gives 4464 and -1 gives 65535.
uint16_t config_port_number(int32_t port);
