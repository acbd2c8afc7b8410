// The three readers of QVThunkConfig.xml. Each loads the file afresh into
// its own document, takes its keys with defaults, and discards it.
#include "config/xml.h"
#include "host/game_server_thunk.h"
#include "host/globals.h"

std::atomic<int32_t> g_nTryConnectionLogCount(0);

const char *const KEY_START = "GameThunkServer:GameThunkServer_Start";
const char *const KEY_IP = "GameThunkServer:VOZevezu_Host:ip";
const char *const KEY_PORT = "GameThunkServer:VOZevezu_Host:port";
const char *const KEY_CONSOLE = "GameThunkServer:Console";
const char *const KEY_LOG_CONNECTION_ERROR = "GameThunkServer:LogConnectionError";
const char *const KEY_TRY_INTERVAL = "GameThunkServer:TryConnectionInteval";
const char *const KEY_CHECK_INTERVAL = "GameThunkServer:MaxCheckConnectionInterval";
const char *const KEY_QUEUE_MODE = "GameThunkServer:QueueMode";
const char *const DEFAULT_IP = "127.0.0.1";
const int32_t DEFAULT_PORT = 15306;
const uint32_t DEFAULT_INTERVAL = 60000;

static uint16_t network_port(int32_t port) {
    return swap_bytes16(static_cast<uint16_t>(port & 0xFFFF));
}

int read_xml_global(std::string path) {
    XmlDocument doc;
    if (!doc.Load(path.c_str()))
        return -1;
    doc.Get(KEY_START, g_bGameThunkServerStart, false);
    return 0;
}

int GameServerThunk::read_xml_config(std::string path) {
    XmlDocument doc;
    if (!doc.Load(path.c_str()))
        return -1;
    std::string ip;
    doc.Get(KEY_IP, ip, DEFAULT_IP);
    parse_dotted_ipv4(ip, &m_ServerAddr.host);
    int32_t port = DEFAULT_PORT;
    doc.Get(KEY_PORT, port, DEFAULT_PORT);
    // Written before Console is read, so it reaches standard output too.
    WriteLog(LogLine() << "file: " << path << "ItemSever Ip:" << ip << ",Port:" << port);
    m_ServerAddr.port = network_port(port);

    bool bValue = false;
    doc.Get(KEY_CONSOLE, bValue, false);
    m_bConsole = bValue;
    doc.Get(KEY_LOG_CONNECTION_ERROR, m_bLogConnectionError, false);
    doc.Get(KEY_TRY_INTERVAL, m_nTryInterval, DEFAULT_INTERVAL);
    doc.Get(KEY_CHECK_INTERVAL, m_nCheckInterval, DEFAULT_INTERVAL);
    doc.Get(KEY_QUEUE_MODE, bValue, false);
    m_bQueueMode = bValue;
    return 0;
}

int GameServerThunk::read_xml_config_try_connection(std::string path) {
    XmlDocument doc;
    if (!doc.Load(path.c_str())) {
        WriteLogLimited(LogLine() << "read_xml_config_try_connection err file: " << path);
        return 0;
    }
    if (!doc.Get(KEY_LOG_CONNECTION_ERROR, m_bLogConnectionError, false))
        WriteLogLimited(LogLine() << "Err LogConnectionError Usedefault ");
    if (!doc.Get(KEY_TRY_INTERVAL, m_nTryInterval, DEFAULT_INTERVAL))
        WriteLogLimited(LogLine() << "Err TryConnectionInteval Usedefault ");

    std::string ip;
    bool bFound = doc.Get(KEY_IP, ip, DEFAULT_IP);
    parse_dotted_ipv4(ip, &m_ServerAddr.host);
    if (!bFound)
        WriteLogLimited(LogLine() << "Err VOZevezu_Host:ip Usedefault ");

    int32_t port = DEFAULT_PORT;
    bFound = doc.Get(KEY_PORT, port, DEFAULT_PORT);
    m_ServerAddr.port = network_port(port);
    if (!bFound)
        WriteLogLimited(LogLine() << "Err VOZevezu_Host:port Usedefault ");

    if (g_nTryConnectionLogCount < 10) {
        WriteLogLimited(LogLine() << "file: " << path << "Ip:" << ip << ",Port:" << port);
        ++g_nTryConnectionLogCount;
    }
    return 0;
}
