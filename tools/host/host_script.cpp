#include "host_script.h"

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(const std::string &text, std::vector<unsigned char> *pData) {
    pData->clear();
    if (text == "-")
        return true;
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        pData->push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
    return true;
}

// One character, or 0x and two hex digits.
bool ParseType(const std::string &text, unsigned char *pType) {
    if (text.size() == 1) {
        *pType = static_cast<unsigned char>(text[0]);
        return true;
    }
    if (text.size() == 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        int hi = HexDigit(text[2]);
        int lo = HexDigit(text[3]);
        if (hi < 0 || lo < 0)
            return false;
        *pType = static_cast<unsigned char>(hi << 4 | lo);
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
    if (t.size() != 4 || !ParseU32(t[1], &pCmd->nThreads) || !ParseU32(t[2], &pCmd->nCount) ||
        !ParseU32(t[3], &pCmd->nSize))
        return Fail(pError, "usage: flood <threads> <count> <size>");
    if (pCmd->nThreads < 1 || pCmd->nThreads > FLOOD_MAX_THREADS)
        return Fail(pError, "threads must be 1 to " + std::to_string(FLOOD_MAX_THREADS));
    if (pCmd->nSize < FLOOD_MIN_SIZE || pCmd->nSize > FLOOD_MAX_SIZE)
        return Fail(pError, "size must be " + std::to_string(FLOOD_MIN_SIZE) + " to " +
                                std::to_string(FLOOD_MAX_SIZE));
    return true;
}

// Commands that take exactly one number.
bool ParseOneNumber(const std::vector<std::string> &t, ScriptCommand *pCmd, std::string *pError) {
    bool bOk = t.size() == 2;
    switch (pCmd->op) {
    case ScriptOp::SETFUNC:
    case ScriptOp::SENDNULL:
        bOk = bOk && ParseI32(t[1], pCmd->op == ScriptOp::SETFUNC ? &pCmd->nCode : &pCmd->nLen);
        break;
    case ScriptOp::GETDATA:
        bOk = bOk && ParseU32(t[1], &pCmd->nBufSize);
        break;
    default: // SLEEP
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
    {"sleep", ScriptOp::SLEEP},
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
    case ScriptOp::SENDNULL:
    case ScriptOp::GETDATA:
    case ScriptOp::SLEEP:
        return ParseOneNumber(t, pCmd, pError);
    case ScriptOp::ECHO:
        if (t.size() != 2 || (t[1] != "on" && t[1] != "off"))
            return Fail(pError, "usage: echo on|off");
        pCmd->bEchoOn = t[1] == "on";
        return true;
    case ScriptOp::FLOOD:
        return ParseFlood(t, pCmd, pError);
    default: // EXIT, GETDATA_NULL, QUIT
        return t.size() == 1 ? true : Fail(pError, t[0] + " takes no arguments");
    }
}

uint32_t Fnv1a32(const unsigned char *data, size_t n) {
    uint32_t hash = 0x811c9dc5u;
    for (size_t i = 0; i < n; ++i)
        hash = (hash ^ data[i]) * 0x01000193u;
    return hash;
}

std::string HexOf(const unsigned char *data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 15]);
    }
    return text;
}

std::string DataPreview(const unsigned char *data, int32_t nSize) {
    if (nSize <= 0)
        return "-";
    if (data == nullptr)
        return "null";
    size_t n = static_cast<size_t>(nSize);
    if (n <= 64)
        return HexOf(data, n);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(Fnv1a32(data, n)));
    return HexOf(data, 64) + "... " + hash;
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
