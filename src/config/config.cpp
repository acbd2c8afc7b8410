#include "config/config.h"

namespace {

template <class T> void take(XmlDocument &doc, const char *key, T def, ConfigValue<T> *out) {
    out->bFound = doc.Get(key, out->value, def);
}

} // namespace

void read_config(XmlDocument &doc, RelayConfig *config) {
#define RELAY_CONFIG_TAKE(NAME, field, path, type, def, kind, readers, named)                      \
    take<type>(doc, path, def, &config->field);
    RELAY_CONFIG_KEYS(RELAY_CONFIG_TAKE)
#undef RELAY_CONFIG_TAKE
}

int read_config_file(const std::string &path, RelayConfig *config) {
    XmlDocument doc;
    const bool bLoaded = doc.Load(path.c_str());
    // A document that did not load is empty, so every key takes its default.
    read_config(doc, config);
    return bLoaded ? 0 : -1;
}

std::string config_short_key(const std::string &keyPath) {
    const size_t colon = keyPath.find(':');
    return colon == std::string::npos ? keyPath : keyPath.substr(colon + 1);
}

uint16_t config_port_number(int32_t port) {
    return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
}
