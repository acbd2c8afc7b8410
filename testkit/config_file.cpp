#include "config_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace testkit {

const char THUNK_CONFIG_FILE_NAME[] = "QVThunkConfig.xml";

ThunkConfig ThunkConfig::Connecting(uint16_t nPort) {
    ThunkConfig config;
    config.start = "1";
    config.console = "0";
    config.logConnectionError = "1";
    config.tryInterval = "1000";
    config.checkInterval = "60000";
    config.queueMode = "0";
    config.ip = "127.0.0.1";
    config.port = std::to_string(nPort);
    return config;
}

namespace {

// A key's value as the config gives it, with where it goes: the elements
// between the top element and the leaf, and the leaf's name.
struct KeyText {
    std::string elements; // "" for a leaf of the top element, else "VOZevezu_Host"
    std::string leaf;
    const std::optional<std::string> *value;
};

std::vector<KeyText> key_texts(const ThunkConfig &config) {
    std::vector<KeyText> texts;
    const auto add = [&texts](const std::string &path, const std::optional<std::string> &value) {
        const size_t top = path.find(':');
        const size_t last = path.rfind(':');
        const std::string elements = last > top ? path.substr(top + 1, last - top - 1) : "";
        texts.push_back({elements, path.substr(last + 1), &value});
    };
#define TESTKIT_CONFIG_TEXT(NAME, field, path, type, def, kind, readers, named)                    \
    add(path, config.field);
    RELAY_CONFIG_KEYS(TESTKIT_CONFIG_TEXT)
#undef TESTKIT_CONFIG_TEXT
    return texts;
}

void WriteLeaves(std::ostringstream &out, const std::vector<KeyText> &keys,
                 const std::string &elements, const char *indent) {
    for (const KeyText &key : keys) {
        if (key.elements == elements && *key.value)
            out << indent << "<" << key.leaf << ">" << **key.value << "</" << key.leaf << ">\n";
    }
}

// The nested elements that hold a key the config sets, in the table's order.
std::vector<std::string> nested_elements(const std::vector<KeyText> &keys) {
    std::vector<std::string> elements;
    for (const KeyText &key : keys) {
        if (!key.elements.empty() && *key.value &&
            std::find(elements.begin(), elements.end(), key.elements) == elements.end())
            elements.push_back(key.elements);
    }
    return elements;
}

} // namespace

// The top element's own leaves first, then each nested element with its
// leaves.
std::string RenderThunkConfig(const ThunkConfig &config) {
    const std::vector<KeyText> keys = key_texts(config);
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    out << "<" << config.rootName << ">\n";
    WriteLeaves(out, keys, "", "  ");
    for (const std::string &element : nested_elements(keys)) {
        out << "  <" << element << ">\n";
        WriteLeaves(out, keys, element, "    ");
        out << "  </" << element << ">\n";
    }
    out << config.extra;
    out << "</" << config.rootName << ">\n";
    return out.str();
}

bool WriteThunkConfig(const std::string &dir, const ThunkConfig &config) {
    std::ofstream file(dir + "/" + THUNK_CONFIG_FILE_NAME, std::ios::binary | std::ios::trunc);
    file << RenderThunkConfig(config);
    file.flush();
    return static_cast<bool>(file);
}

} // namespace testkit
