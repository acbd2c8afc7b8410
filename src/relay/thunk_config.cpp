// The relay object's two configuration readers: each reads the file afresh,
// applies the values to the object and writes its lines.
#include "config/config.h"
#include "relay/game_server_thunk.h"

std::atomic<int32_t> g_nTryConnectionLogCount(0);

static uint16_t network_port(int32_t port) {
    return swap_bytes16(config_port_number(port));
}

uint32_t server_host_after(const std::string &ipText, uint32_t host) {
    parse_dotted_ipv4(ipText, &host);
    return host;
}

int GameServerThunk::read_xml_config(std::string path) {
    RelayConfig config;
    if (read_config_file(path, &config) < 0)
        return -1;
    m_ServerAddr.host = server_host_after(config.ip.value, m_ServerAddr.host);
    // Written before Console is applied, so it reaches standard output too.
    WriteLog(LogLine() << "file: " << path << "ItemSever Ip:" << config.ip.value
                       << ",Port:" << config.port.value);
    m_ServerAddr.port = network_port(config.port.value);
    m_bConsole = config.console.value;
    m_bLogConnectionError = config.logConnectionError.value;
    m_nTryInterval = config.tryInterval.value;
    m_nCheckInterval = config.checkInterval.value;
    m_bQueueMode = config.queueMode.value;
    ApplyLinkOptions(config);
    return 0;
}

void GameServerThunk::ApplyLinkOptions(const RelayConfig &config) {
    m_nDeadLinkTimeout = config.deadLinkTimeout.value;
    m_nConnectTimeout = config.connectTimeout.value;
    m_nSendBufferSize = config.sendBufferSize.value;
}

// Rereads what a connection attempt uses, naming every key that defaulted.
int GameServerThunk::read_xml_config_try_connection(std::string path) {
    RelayConfig config;
    if (read_config_file(path, &config) < 0) {
        WriteLogLimited(LogLine() << "read_xml_config_try_connection err file: " << path);
        return 0;
    }
    m_bLogConnectionError = config.logConnectionError.value;
    m_nTryInterval = config.tryInterval.value;
    m_ServerAddr.host = server_host_after(config.ip.value, m_ServerAddr.host);
    m_ServerAddr.port = network_port(config.port.value);
    ApplyLinkOptions(config);
#define RELAY_NAME_DEFAULTED(NAME, field, path, type, def, kind, readers, named)                   \
    if (named && !config.field.bFound)                                                             \
        WriteLogLimited(LogLine() << "Err " << config_short_key(CONFIG_KEY_##NAME)                 \
                                  << " Usedefault ");
    RELAY_CONFIG_KEYS(RELAY_NAME_DEFAULTED)
#undef RELAY_NAME_DEFAULTED

    if (g_nTryConnectionLogCount < 10) {
        WriteLogLimited(LogLine() << "file: " << path << "Ip:" << config.ip.value
                                  << ",Port:" << config.port.value);
        ++g_nTryConnectionLogCount;
    }
    return 0;
}
