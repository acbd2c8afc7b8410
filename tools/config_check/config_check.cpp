// Reads a configuration file with the relay's readers, builds the key table
// and the result, and prints them with the warnings.
#include "config_check.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>

#include "check_rules.h"
#include "net/net.h"
#include "relay/game_server_thunk.h"

namespace {

const std::string::size_type NPOS = std::string::npos;

CheckedKey switch_key(const char *keyPath, const ConfigValue<bool> &value, const char *on,
                      const char *off) {
    return {short_key(keyPath), value.value ? "1" : "0", value.bFound, value.value ? on : off};
}

CheckedKey interval_key(const char *keyPath, const ConfigValue<uint32_t> &value, const char *what) {
    return {short_key(keyPath), std::to_string(value.value) + " ms", value.bFound,
            std::string(what) + " " + pace_text(value.value)};
}

CheckedKey ip_key(const ConfigValue<std::string> &ip) {
    bool bFromFile = false;
    const uint32_t host = used_host(ip, &bFromFile);
    return {short_key(CONFIG_KEY_IP), host_text(host), bFromFile,
            is_connectable_host(host) ? "the address the relay tries"
                                      : "an address the relay never tries"};
}

CheckedKey port_key(const ConfigValue<int32_t> &port) {
    const uint16_t number = config_port_number(port.value);
    return {short_key(CONFIG_KEY_PORT), std::to_string(number), port.bFound,
            number != 0 ? "the port the relay connects to" : "no server listens on port 0"};
}

std::vector<CheckedKey> checked_keys(const RelayConfig &config) {
    return {
        switch_key(CONFIG_KEY_START, config.start, "the relay starts",
                   "the relay does not start: sh_load_start returns -101"),
        switch_key(CONFIG_KEY_CONSOLE, config.console,
                   "the relay thread's log lines go to standard output as well",
                   "the relay thread's log lines go to the log file only"),
        switch_key(CONFIG_KEY_LOG_CONNECTION_ERROR, config.logConnectionError,
                   "a failure to start the connection thread is logged",
                   "a failure to start the connection thread is not logged"),
        interval_key(CONFIG_KEY_TRY_INTERVAL, config.tryInterval, "an attempt"),
        interval_key(CONFIG_KEY_CHECK_INTERVAL, config.checkInterval, "a keep-alive"),
        switch_key(CONFIG_KEY_QUEUE_MODE, config.queueMode, "server messages wait for sh_getdata",
                   "server messages go to the host's callbacks"),
        ip_key(config.ip),
        port_key(config.port),
    };
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

ConfigCheck check_read_config(const RelayConfig &config, const std::string &text) {
    ConfigCheck check;
    check.bOpened = true;
    check.keys = checked_keys(config);
    XmlTreeBuilder tree;
    const bool bFileScanStopped = scan_config_text(text, &tree, &check.warnings);
    add_key_warnings(tree, config, check.keys, bFileScanStopped, &check.warnings);
    decide(config, &check);
    return check;
}

// The file's characters as the relay's reader takes them (text mode).
std::string read_text(const std::string &path) {
    std::ifstream file(path.c_str());
    std::ostringstream text;
    if (file.is_open() && file.peek() != std::ifstream::traits_type::eof())
        text << file.rdbuf();
    return text.str();
}

} // namespace

// ---- Helpers of the rules ---------------------------------------------------

std::string short_key(const std::string &keyPath) {
    const size_t colon = keyPath.find(':');
    return colon == NPOS ? keyPath : keyPath.substr(colon + 1);
}

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
    for (const char *key : CHECKED_KEY_PATHS) {
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
    return std::any_of(std::begin(CHECKED_KEY_PATHS), std::end(CHECKED_KEY_PATHS),
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

ConfigCheck check_config_file(const std::string &path) {
    RelayConfig config;
    if (read_config_file(path, &config) < 0) {
        ConfigCheck check;
        check.result = "result: the relay refuses to start: it cannot open the file, so "
                       "sh_load_start returns -1";
        return check;
    }
    return check_read_config(config, read_text(path));
}

ConfigCheck check_config_text(const std::string &text) {
    const size_t length = std::min(text.size(), size_t(std::numeric_limits<int32_t>::max()));
    XmlDocument doc;
    doc.LoadText(text.data(), int32_t(length));
    RelayConfig config;
    read_config(doc, &config);
    return check_read_config(config, text.substr(0, length));
}

void print_config_check(std::ostream &out, const std::string &path, const ConfigCheck &check) {
    if (!check.bOpened) {
        out << "cannot open " << path << "\n" << check.result << "\n";
        return;
    }
    out << path << ", as the relay reads it:\n";
    for (const CheckedKey &key : check.keys) {
        out << "  " << std::left << std::setw(28) << key.name << std::setw(16) << key.value
            << std::setw(9) << (key.bFromFile ? "file" : "default") << key.effect << "\n";
    }
    for (const std::string &warning : check.warnings)
        out << warning << "\n";
    out << check.result << "\n";
}

int config_check_status(const ConfigCheck &check) {
    return check.bOpened && check.bStarts && check.bConnects ? 0 : 1;
}
