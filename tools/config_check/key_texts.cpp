// What the relay does with each key's value, as the check's table and
// warnings say it. A key of the table that is not listed here is described
// by its kind.
#include <cstring>

#include "check_rules.h"

namespace {

struct KeyTextsRow {
    const char *path;
    KeyTexts texts;
};

const KeyTextsRow KEY_TEXTS[] = {
    {CONFIG_KEY_START,
     {"the relay starts", "the relay does not start: sh_load_start returns -101", nullptr}},
    {CONFIG_KEY_CONSOLE,
     {"the relay thread's log lines go to standard output as well",
      "the relay thread's log lines go to the log file only", nullptr}},
    {CONFIG_KEY_LOG_CONNECTION_ERROR,
     {"a failure to start the connection thread is logged",
      "a failure to start the connection thread is not logged", nullptr}},
    {CONFIG_KEY_TRY_INTERVAL, {"an attempt", nullptr, nullptr}},
    {CONFIG_KEY_CHECK_INTERVAL, {"a keep-alive", nullptr, nullptr}},
    {CONFIG_KEY_QUEUE_MODE,
     {"server messages wait for sh_getdata", "server messages go to the host's callbacks",
      nullptr}},
    {CONFIG_KEY_DEAD_LINK_TIMEOUT,
     {"data unacknowledged that long ends the link",
      "the platform's time-out: a dead link ends after about 15 min on Linux",
      "a link over a slow path, or a single lost packet's retransmission, outlasts it and "
      "ends the link"}},
    {CONFIG_KEY_CONNECT_TIMEOUT,
     {"a connection attempt gives up after that long",
      "the platform's time-out: about 2 min on Linux, 21 s on Windows",
      "an attempt to a distant server never completes in that time"}},
    {CONFIG_KEY_SEND_BUFFER_SIZE,
     {"the socket's send buffer (the platform may cap it)",
      "the platform sizes the socket's send buffer", "the platform raises it to its minimum"}},
};

KeyTexts kind_texts(ConfigKind kind) {
    switch (kind) {
    case CONFIG_KIND_SWITCH:
        return {"switched on", "switched off", nullptr};
    case CONFIG_KIND_PACE:
        return {"an action", nullptr, nullptr};
    case CONFIG_KIND_IP:
        return {"the address the relay tries", "an address the relay never tries", nullptr};
    case CONFIG_KIND_PORT:
        return {"the port the relay connects to", "no server listens on port 0", nullptr};
    case CONFIG_KIND_TIMEOUT:
        return {"the time-out", "the platform's own time-out", "it is too short for a slow path"};
    case CONFIG_KIND_BYTES:
        return {"the size used", "the platform's own sizing",
                "the platform raises it to its minimum"};
    }
    return {"", "", nullptr};
}

} // namespace

KeyTexts key_texts(const char *keyPath, ConfigKind kind) {
    for (const KeyTextsRow &row : KEY_TEXTS) {
        if (std::strcmp(row.path, keyPath) == 0)
            return row.texts;
    }
    return kind_texts(kind);
}
