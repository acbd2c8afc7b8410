#include "host_script.h"

#include "wire.h"

#include <cstdio>
#include <sstream>

namespace host {

namespace {

std::vector<std::string> Tokens(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    std::string token;
    while (in >> token)
        tokens.push_back(token);
    return tokens;
}

bool AllDigits(const std::string &text, size_t from) {
    if (text.size() <= from || text.size() - from > 12)
        return false;
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

bool ParseU32(const std::string &text, uint32_t *pValue) {
    if (!AllDigits(text, 0))
        return false;
    unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull)
        return false;
    *pValue = static_cast<uint32_t>(value);
    return true;
}

bool ParseI32(const std::string &text, int32_t *pValue) {
    size_t from = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (!AllDigits(text, from))
        return false;
    long long value = std::stoll(text);
    if (value < INT32_MIN || value > INT32_MAX)
        return false;
    *pValue = static_cast<int32_t>(value);
    return true;
}

bool ParseHex(const std::string &text, std::vector<unsigned char> *pData) {
    pData->clear();
    return text == "-" || testkit::FromHex(text, pData);
}

// One character, or 0x and two hex digits.
bool ParseType(const std::string &text, unsigned char *pType) {
    if (text.size() == 1) {
        *pType = static_cast<unsigned char>(text[0]);
        return true;
    }
    if (text.size() == 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::vector<unsigned char> byte;
        if (!testkit::FromHex(text.substr(2), &byte))
            return false;
        *pType = byte[0];
        return true;
    }
    return false;
}

bool Fail(std::string *pError, const std::string &text) {
    *pError = text;
    return false;
}

bool ParseStart(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i] == "nosend")
            pCmd->bNoSend = true;
        else if (t[i] == "nullrec")
            pCmd->bNullRec = true;
        else
            return Fail(pError, "unknown start option " + t[i]);
    }
    return true;
}

bool ParseSendLike(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    if (t.size() != 4)
        return Fail(pError, "usage: " + t[0] + " <type> <id> <hex|->");
    if (!ParseType(t[1], &pCmd->type))
        return Fail(pError, "bad type " + t[1]);
    if (!ParseU32(t[2], &pCmd->nId))
        return Fail(pError, "bad id " + t[2]);
    if (pCmd->op == ScriptOp::SENDN) {
        if (!ParseI32(t[3], &pCmd->nLen))
            return Fail(pError, "bad length " + t[3]);
    } else if (!ParseHex(t[3], &pCmd->data)) {
        return Fail(pError, "bad hex data");
    }
    return true;
}

bool ParseFlood(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    if (t.size() < 4 || t.size() > 5 || !ParseU32(t[1], &pCmd->nThreads) ||
        !ParseU32(t[2], &pCmd->nCount) || !ParseU32(t[3], &pCmd->nSize) ||
        (t.size() == 5 && !ParseU32(t[4], &pCmd->nPauseUs)))
        return Fail(pError, "usage: flood <threads> <count> <size> [<pause_us>]");
    if (pCmd->nThreads < 1 || pCmd->nThreads > FLOOD_MAX_THREADS)
        return Fail(pError, "threads must be 1 to " + std::to_string(FLOOD_MAX_THREADS));
    if (pCmd->nSize < FLOOD_MIN_SIZE || pCmd->nSize > FLOOD_MAX_SIZE)
        return Fail(pError, "size must be " + std::to_string(FLOOD_MIN_SIZE) + " to " +
                                std::to_string(FLOOD_MAX_SIZE));
    if (pCmd->nPauseUs > FLOOD_MAX_PAUSE_US)
        return Fail(pError, "pause must be at most " + std::to_string(FLOOD_MAX_PAUSE_US) + " us");
    return true;
}

bool ParseCycle(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    if (t.size() < 2 || t.size() > 3 || !ParseU32(t[1], &pCmd->nCount) ||
        (t.size() == 3 && !ParseU32(t[2], &pCmd->nMs)))
        return Fail(pError, "usage: cycle <n> [<hold_ms>]");
    if (pCmd->nCount < 1 || pCmd->nCount > CYCLE_MAX)
        return Fail(pError, "n must be 1 to " + std::to_string(CYCLE_MAX));
    if (pCmd->nMs > CYCLE_MAX_HOLD_MS)
        return Fail(pError, "hold must be at most " + std::to_string(CYCLE_MAX_HOLD_MS) + " ms");
    return true;
}

bool ParseSetFunc(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    if (t.size() < 2 || t.size() > 3 || !ParseI32(t[1], &pCmd->nCode) ||
        (t.size() == 3 && t[2] != "null"))
        return Fail(pError, "usage: setfunc <code> [null]");
    pCmd->bNullFn = t.size() == 3;
    return true;
}

// Commands that take exactly one number.
bool ParseOneNumber(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    bool bOk = t.size() == 2;
    switch (pCmd->op) {
    case ScriptOp::SENDNULL:
        bOk = bOk && ParseI32(t[1], &pCmd->nLen);
        break;
    case ScriptOp::GETDATA:
        bOk = bOk && ParseU32(t[1], &pCmd->nBufSize);
        break;
    case ScriptOp::FDS:
        bOk = bOk && ParseU32(t[1], &pCmd->nFds) && pCmd->nFds <= FDS_MAX;
        break;
    default: // SLEEP, STALL
        bOk = bOk && ParseU32(t[1], &pCmd->nMs) && pCmd->nMs <= SLEEP_MAX_MS;
        break;
    }
    return bOk ? true : Fail(pError, "usage: " + t[0] + " <number>");
}

struct OpName {
    const char *name;
    ScriptOp op;
};

const OpName kOps[] = {
    {"start", ScriptOp::START},
    {"exit", ScriptOp::EXIT},
    {"setfunc", ScriptOp::SETFUNC},
    {"send", ScriptOp::SEND},
    {"rec", ScriptOp::REC},
    {"sendn", ScriptOp::SENDN},
    {"sendnull", ScriptOp::SENDNULL},
    {"getdata", ScriptOp::GETDATA},
    {"getdata-null", ScriptOp::GETDATA_NULL},
    {"echo", ScriptOp::ECHO},
    {"flood", ScriptOp::FLOOD},
    {"maxrecv", ScriptOp::MAXRECV},
    {"sleep", ScriptOp::SLEEP},
    {"fds", ScriptOp::FDS},
    {"cycle", ScriptOp::CYCLE},
    {"stall", ScriptOp::STALL},
    {"fault", ScriptOp::FAULT},
    {"reload", ScriptOp::RELOAD},
    {"quit", ScriptOp::QUIT},
};

} // namespace

bool ParseScriptCommand(const std::string &line, ScriptCommand *pCmd, std::string *pError) {
    std::vector<std::string> t = Tokens(line);
    if (t.empty())
        return Fail(pError, "empty command");
    *pCmd = ScriptCommand();
    bool bKnown = false;
    for (const OpName &entry : kOps) {
        if (t[0] == entry.name) {
            pCmd->op = entry.op;
            bKnown = true;
        }
    }
    if (!bKnown)
        return Fail(pError, "unknown command " + t[0]);
    switch (pCmd->op) {
    case ScriptOp::START:
        return ParseStart(t, pCmd, pError);
    case ScriptOp::SEND:
    case ScriptOp::REC:
    case ScriptOp::SENDN:
        return ParseSendLike(t, pCmd, pError);
    case ScriptOp::SETFUNC:
        return ParseSetFunc(t, pCmd, pError);
    case ScriptOp::SENDNULL:
    case ScriptOp::GETDATA:
    case ScriptOp::SLEEP:
    case ScriptOp::STALL:
    case ScriptOp::FDS:
        return ParseOneNumber(t, pCmd, pError);
    case ScriptOp::CYCLE:
        return ParseCycle(t, pCmd, pError);
    case ScriptOp::ECHO:
        if (t.size() != 2 || (t[1] != "on" && t[1] != "off"))
            return Fail(pError, "usage: echo on|off");
        pCmd->bEchoOn = t[1] == "on";
        return true;
    case ScriptOp::FLOOD:
        return ParseFlood(t, pCmd, pError);
    case ScriptOp::QUIT:
        if (t.size() > 2 || (t.size() == 2 && t[1] != "nostop"))
            return Fail(pError, "usage: quit [nostop]");
        pCmd->bNoStop = t.size() == 2;
        return true;
    default: // EXIT, GETDATA_NULL, MAXRECV, FAULT, RELOAD
        return t.size() == 1 ? true : Fail(pError, t[0] + " takes no arguments");
    }
}

std::string DataPreview(const unsigned char *data, int32_t nSize) {
    if (nSize <= 0)
        return "-";
    if (data == nullptr)
        return "null";
    size_t n = static_cast<size_t>(nSize);
    if (n <= 64)
        return testkit::ToHex(data, n);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(testkit::Fnv1a32(data, n)));
    return testkit::ToHex(data, 64) + "... " + hash;
}

std::string TypeText(unsigned char type) {
    if (type == 0)
        return "-";
    if (type > ' ' && type < 0x7f)
        return std::string(1, static_cast<char>(type));
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", type);
    return text;
}

std::vector<unsigned char> PatternPayload(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<unsigned char>(i & 0xff);
    return data;
}

} // namespace host
