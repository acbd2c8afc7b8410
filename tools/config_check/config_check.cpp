// Reads a configuration file with the relay's readers, builds the key table
// and the result, and prints them with the warnings.
#include "config_check.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <limits>

#include "check_rules.h"
#include "net/net.h"
#include "relay/game_server_thunk.h"

namespace {

const std::string::size_type NPOS = std::string::npos;

// One table line per type of value; the kind picks the texts and units.
CheckedKey checked_key(const char *keyPath, ConfigKind kind, const ConfigValue<bool> &value) {
    const KeyTexts texts = key_texts(keyPath, kind);
    return {config_short_key(keyPath), value.value ? "1" : "0", value.bFound,
            value.value ? texts.set : texts.unset};
}

CheckedKey checked_key(const char *keyPath, ConfigKind kind, const ConfigValue<uint32_t> &value) {
    const KeyTexts texts = key_texts(keyPath, kind);
    const std::string number = std::to_string(value.value);
    if (kind == CONFIG_KIND_PACE)
        return {config_short_key(keyPath), number + " ms", value.bFound,
                std::string(texts.set) + " " + pace_text(value.value)};
    return {config_short_key(keyPath), number + (kind == CONFIG_KIND_BYTES ? " bytes" : " ms"),
            value.bFound, value.value != 0 ? texts.set : texts.unset};
}

CheckedKey checked_key(const char *keyPath, ConfigKind kind, const ConfigValue<std::string> &ip) {
    const KeyTexts texts = key_texts(keyPath, kind);
    bool bFromFile = false;
    const uint32_t host = used_host(ip, &bFromFile);
    return {config_short_key(keyPath), host_text(host), bFromFile,
            is_connectable_host(host) ? texts.set : texts.unset};
}

CheckedKey checked_key(const char *keyPath, ConfigKind kind, const ConfigValue<int32_t> &port) {
    const KeyTexts texts = key_texts(keyPath, kind);
    const uint16_t number = config_port_number(port.value);
    return {config_short_key(keyPath), std::to_string(number), port.bFound,
            number != 0 ? texts.set : texts.unset};
}

std::vector<CheckedKey> checked_keys(const RelayConfig &config) {
    std::vector<CheckedKey> keys;
#define CHECK_KEY_LINE(NAME, field, path, type, def, kind, readers, named)                         \
    static_assert(kind_fits(kind, static_cast<const type *>(nullptr)),                             \
                  "the check has no rules for this kind of " path);                                \
    keys.push_back(checked_key(path, kind, config.field));
    RELAY_CONFIG_KEYS(CHECK_KEY_LINE)
#undef CHECK_KEY_LINE
    return keys;
}

void decide(const RelayConfig &config, ConfigCheck *check) {
    bool bFromFile = false;
    const uint32_t host = used_host(config.ip, &bFromFile);
    const uint16_t port = config_port_number(config.port.value);
    check->bStarts = config.start.value;
    check->bConnects = is_connectable_host(host) && port != 0;
    if (!check->bStarts)
        check->result = "result: the relay does not start: GameThunkServer_Start does not read 1, "
                        "so sh_load_start returns -101";
    else if (!is_connectable_host(host))
        check->result =
            "result: the relay starts but never connects: it does not try " + host_text(host);
    else if (port == 0)
        check->result = "result: the relay starts but never connects: no server listens on port 0";
    else
        check->result = "result: the relay starts and connects to " + host_text(host) + " port " +
                        std::to_string(port);
}

// The values with the relay's own reader, the warnings from what its
// document shows and noted.
ConfigCheck check_document(XmlDocument &doc) {
    RelayConfig config;
    read_config(doc, &config);
    ConfigCheck check;
    check.bOpened = true;
    check.keys = checked_keys(config);
    const bool bFileScanStopped = add_reader_warnings(doc, &check.warnings);
    add_key_warnings(doc, config, check.keys, bFileScanStopped, &check.warnings);
    decide(config, &check);
    return check;
}

} // namespace

// ---- Helpers of the rules ---------------------------------------------------

std::string element_path(const std::string &keyPath) {
    const size_t colon = keyPath.rfind(':');
    return colon == NPOS ? std::string() : keyPath.substr(0, colon);
}

std::string leaf_name(const std::string &keyPath) {
    const size_t colon = keyPath.rfind(':');
    return colon == NPOS ? keyPath : keyPath.substr(colon + 1);
}

std::vector<std::string> key_levels() {
    std::vector<std::string> levels;
    for (const char *key : CONFIG_KEY_PATHS) {
        const std::string level = element_path(key);
        if (std::find(levels.begin(), levels.end(), level) == levels.end())
            levels.push_back(level);
    }
    return levels;
}

bool is_key_level(const std::string &elementPath) {
    const std::vector<std::string> levels = key_levels();
    return elementPath.empty() ||
           std::find(levels.begin(), levels.end(), elementPath) != levels.end();
}

bool is_key_path(const std::string &path) {
    return std::any_of(std::begin(CONFIG_KEY_PATHS), std::end(CONFIG_KEY_PATHS),
                       [&path](const char *key) { return path == key; });
}

std::string level_text(const std::string &elementPath) {
    return elementPath.empty() ? "the file" : "<" + escaped(leaf_name(elementPath)) + ">";
}

std::string escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        else
            out += c;
    }
    return out;
}

std::string quoted(const std::string &text) {
    return "\"" + escaped(text) + "\"";
}

bool has_line_space(const std::string &text) {
    return text.find_first_of("\t\r\n") != NPOS;
}

bool is_blank(const std::string &text) {
    return text.find_first_not_of(" \t\n\v\f\r") == NPOS;
}

std::string pace_text(uint32_t intervalMs) {
    const uint32_t passes = monitor_pace_passes(intervalMs);
    return passes == 1 ? "every pass (1 s)" : "every " + std::to_string(passes) + " s";
}

uint32_t used_host(const ConfigValue<std::string> &ip, bool *pbFromFile) {
    uint32_t startHost = 0;
    parse_dotted_ipv4(RELAY_START_HOST, &startHost);
    uint32_t parsed = 0;
    *pbFromFile = ip.bFound && parse_dotted_ipv4(ip.value, &parsed) == 0;
    return server_host_after(ip.value, startHost);
}

std::string host_text(uint32_t host) {
    unsigned char bytes[4];
    std::memcpy(bytes, &host, sizeof bytes); // network order: first octet first
    std::string text;
    for (unsigned char byte : bytes)
        text += (text.empty() ? "" : ".") + std::to_string(unsigned(byte));
    return text;
}

// ---- The check ----------------------------------------------------------------

// The file is read once, as read_config_file reads it.
ConfigCheck check_config_file(const std::string &path) {
    XmlDocument doc;
    if (!doc.Load(path.c_str())) {
        ConfigCheck check;
        check.result = "result: the relay refuses to start: it cannot open the file, so "
                       "sh_load_start returns -1";
        return check;
    }
    return check_document(doc);
}

ConfigCheck check_config_text(const std::string &text) {
    const size_t length = std::min(text.size(), size_t(std::numeric_limits<int32_t>::max()));
    XmlDocument doc;
    doc.LoadText(text.data(), int32_t(length));
    return check_document(doc);
}

void print_config_check(std::ostream &out, const std::string &path, const ConfigCheck &check) {
    if (!check.bOpened) {
        out << "cannot open " << path << "\n" << check.result << "\n";
        return;
    }
    out << path << ", as the relay reads it:\n";
    for (const CheckedKey &key : check.keys) {
        // A name or value filling its column still gets a blank after it.
        out << "  " << std::left << std::setw(27) << key.name << " " << std::setw(15) << key.value
            << " " << std::setw(9) << (key.bFromFile ? "file" : "default") << key.effect << "\n";
    }
    for (const std::string &warning : check.warnings)
        out << warning << "\n";
    out << check.result << "\n";
}

int config_check_status(const ConfigCheck &check) {
    return check.bOpened && check.bStarts && check.bConnects ? 0 : 1;
}
