// The parts of the configuration check: what the relay's reader noted while
// it read the file (reader_notes.cpp), what it made of each key's element and
// value (key_rules.cpp), what the relay does with each key (key_texts.cpp),
// and the helpers they share (config_check.cpp). The keys, their kinds and
// their order come from the key table (config/config_keys.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/xml.h"
#include "config_check.h"

typedef std::vector<std::string> Warnings;

// What the relay does with a key's value, in the words of the check. set and
// unset: a switch's 1 and 0, the address tried or not, the port usable or 0,
// a time-out or size that is not 0 and one that is; for an interval, set is
// the action paced. tooSmall: what goes wrong with a time-out or size below
// its kind's least sensible value (null for other kinds).
struct KeyTexts {
    const char *set;
    const char *unset;
    const char *tooSmall;
};
// The key's own texts, or its kind's when the key has none.
KeyTexts key_texts(const char *keyPath, ConfigKind kind);

// The kinds the check has rules for with each type of value, so that a row
// of the key table that pairs them otherwise fails to build.
constexpr bool kind_fits(ConfigKind kind, const bool *) {
    return kind == CONFIG_KIND_SWITCH;
}
constexpr bool kind_fits(ConfigKind kind, const uint32_t *) {
    return kind == CONFIG_KIND_PACE || kind == CONFIG_KIND_TIMEOUT || kind == CONFIG_KIND_BYTES;
}
constexpr bool kind_fits(ConfigKind kind, const int32_t *) {
    return kind == CONFIG_KIND_PORT;
}
constexpr bool kind_fits(ConfigKind kind, const std::string *) {
    return kind == CONFIG_KIND_IP;
}

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

// Warns where the reader's scan of a level holding keys ended early, where it
// reads a key or a key's element twice, where it drops one, and where a
// second top element renames the first. True when the scan of the file
// itself ended early.
bool add_reader_warnings(const XmlDocument &doc, Warnings *warnings);

// Warns about the top element, the names of the elements that hold keys, and
// every key value that a rule of the reader changed. keys are the values the
// relay will use; bFileScanStopped says that a scan warning covers a file
// without a top element already.
void add_key_warnings(const XmlDocument &doc, const RelayConfig &config,
                      const std::vector<CheckedKey> &keys, bool bFileScanStopped,
                      Warnings *warnings);
