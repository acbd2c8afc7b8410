#include "config_file.h"

#include <fstream>
#include <sstream>

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

void Leaf(std::ostringstream &out, const char *indent, const char *name,
          const std::optional<std::string> &value) {
    if (value)
        out << indent << "<" << name << ">" << *value << "</" << name << ">\n";
}

} // namespace

std::string RenderThunkConfig(const ThunkConfig &config) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    out << "<" << config.rootName << ">\n";
    Leaf(out, "  ", "GameThunkServer_Start", config.start);
    Leaf(out, "  ", "Console", config.console);
    Leaf(out, "  ", "LogConnectionError", config.logConnectionError);
    Leaf(out, "  ", "TryConnectionInteval", config.tryInterval);
    Leaf(out, "  ", "MaxCheckConnectionInterval", config.checkInterval);
    Leaf(out, "  ", "QueueMode", config.queueMode);
    if (config.ip || config.port) {
        out << "  <VOZevezu_Host>\n";
        Leaf(out, "    ", "ip", config.ip);
        Leaf(out, "    ", "port", config.port);
        out << "  </VOZevezu_Host>\n";
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
