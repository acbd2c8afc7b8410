// The parts of the configuration check: how the relay's reader scanned the
// text (xml_scan.cpp), what it made of each key's element and value
// (key_rules.cpp), and the helpers both use (config_check.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/xml.h"
#include "config_check.h"

typedef std::vector<std::string> Warnings;

// Every key, in the order the check prints them.
const char *const CHECKED_KEY_PATHS[] = {
    CONFIG_KEY_START,        CONFIG_KEY_CONSOLE,        CONFIG_KEY_LOG_CONNECTION_ERROR,
    CONFIG_KEY_TRY_INTERVAL, CONFIG_KEY_CHECK_INTERVAL, CONFIG_KEY_QUEUE_MODE,
    CONFIG_KEY_IP,           CONFIG_KEY_PORT,
};

// The key path without its top element, as the relay's log lines name keys.
std::string short_key(const std::string &keyPath);
// A key's element path (all but its last component) and its leaf name.
std::string element_path(const std::string &keyPath);
std::string leaf_name(const std::string &keyPath);
// The element paths that hold keys, top first: "GameThunkServer", then
// "GameThunkServer:VOZevezu_Host".
std::vector<std::string> key_levels();
// True for those, and for "" (the file itself).
bool is_key_level(const std::string &elementPath);
bool is_key_path(const std::string &path);
// How a message names the element at a path: "<VOZevezu_Host>", or "the file".
std::string level_text(const std::string &elementPath);

// Text as the file has it, tabs and line breaks shown as \t, \n and \r;
// quoted puts it in double quotes.
std::string escaped(const std::string &text);
std::string quoted(const std::string &text);
// True when the text holds a tab or a line break, which do not end a name.
bool has_line_space(const std::string &text);
bool is_blank(const std::string &text);

// The monitor's pace for an interval: "every 61 s", "every pass (1 s)".
std::string pace_text(uint32_t intervalMs);
// The address the relay tries: the ip text when it is a dotted address,
// otherwise 127.0.0.1, the host the relay starts with. *pbFromFile says which.
uint32_t used_host(const ConfigValue<std::string> &ip, bool *pbFromFile);
std::string host_text(uint32_t host);

// Builds the tree of the text exactly as the relay's reader does, and warns
// where its scan of a level holding keys ends early, where it reads a key or
// a key's element twice, and where it drops one. True when the scan of the
// file itself ended early.
bool scan_config_text(const std::string &text, XmlTreeBuilder *tree, Warnings *warnings);

// Warns about the top element, the names of the elements that hold keys, and
// every key value that a rule of the reader changed. keys are the values the
// relay will use; bFileScanStopped says that a scan warning covers a file
// without a top element already.
void add_key_warnings(const XmlTreeBuilder &tree, const RelayConfig &config,
                      const std::vector<CheckedKey> &keys, bool bFileScanStopped,
                      Warnings *warnings);
