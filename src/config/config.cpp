#include "config/config.h"

namespace {

template <class T> void take(XmlDocument &doc, const char *key, T def, ConfigValue<T> *out) {
    out->bFound = doc.Get(key, out->value, def);
}

} // namespace

void read_config(XmlDocument &doc, RelayConfig *config) {
    take(doc, CONFIG_KEY_START, CONFIG_DEFAULT_SWITCH, &config->start);
    take(doc, CONFIG_KEY_IP, std::string(CONFIG_DEFAULT_IP), &config->ip);
    take(doc, CONFIG_KEY_PORT, CONFIG_DEFAULT_PORT, &config->port);
    take(doc, CONFIG_KEY_CONSOLE, CONFIG_DEFAULT_SWITCH, &config->console);
    take(doc, CONFIG_KEY_LOG_CONNECTION_ERROR, CONFIG_DEFAULT_SWITCH, &config->logConnectionError);
    take(doc, CONFIG_KEY_TRY_INTERVAL, CONFIG_DEFAULT_INTERVAL, &config->tryInterval);
    take(doc, CONFIG_KEY_CHECK_INTERVAL, CONFIG_DEFAULT_INTERVAL, &config->checkInterval);
    take(doc, CONFIG_KEY_QUEUE_MODE, CONFIG_DEFAULT_SWITCH, &config->queueMode);
}

int read_config_file(const std::string &path, RelayConfig *config) {
    XmlDocument doc;
    const bool bLoaded = doc.Load(path.c_str());
    // A document that did not load is empty, so every key takes its default.
    read_config(doc, config);
    return bLoaded ? 0 : -1;
}

uint16_t config_port_number(int32_t port) {
    return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
}
