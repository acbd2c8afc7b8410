// The sample host's script language: one command per line on stdin, one
// answer line starting with "@" on stdout. Parsing and the formatting of
// data are kept here, apart from the module calls, so they can be tested
// on their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class ScriptOp {
    START,        // start [nosend] [nullrec]
    EXIT,         // exit
    SETFUNC,      // setfunc <code> [null]
    SEND,         // send <type> <id> <hex|->
    REC,          // rec <type> <id> <hex|->
    SENDN,        // sendn <type> <id> <len>
    SENDNULL,     // sendnull <len>
    GETDATA,      // getdata <bufsize>
    GETDATA_NULL, // getdata-null
    ECHO,         // echo on|off
    FLOOD,        // flood <threads> <count> <size> [<pause_us>]
    MAXRECV,      // maxrecv
    SLEEP,        // sleep <ms>
    FDS,          // fds <n>
    CYCLE,        // cycle <n> [<hold_ms>]
    STALL,        // stall <ms>
    FAULT,        // fault
    RELOAD,       // reload
    QUIT,         // quit [nostop]
};

const uint32_t FLOOD_MAX_THREADS = 64;
const uint32_t FLOOD_MIN_SIZE = 8;
const uint32_t FLOOD_MAX_SIZE = 1u << 20;
const uint32_t SLEEP_MAX_MS = 600000;
const uint32_t FLOOD_MAX_PAUSE_US = 1000000;
const uint32_t FDS_MAX = 65536;
const uint32_t CYCLE_MAX = 100000;
const uint32_t CYCLE_MAX_HOLD_MS = 10000;

struct ScriptCommand {
    ScriptOp op = ScriptOp::QUIT;
    bool bNoSend = false;  // start: pass a null pfSend
    bool bNullRec = false; // start: pass a null ppfRec
    int32_t nCode = 0;     // setfunc
    bool bNullFn = false;  // setfunc: register a null pointer
    unsigned char type = 'D';
    uint32_t nId = 0;
    std::vector<unsigned char> data; // send, rec
    int32_t nLen = 0;                // sendn, sendnull
    uint32_t nBufSize = 0;           // getdata
    bool bEchoOn = false;
    uint32_t nThreads = 0; // flood
    uint32_t nCount = 0;
    uint32_t nSize = 0;
    uint32_t nPauseUs = 0; // flood: pause after each send
    uint32_t nMs = 0;      // sleep, stall; cycle: hold between start and exit
    uint32_t nFds = 0;     // fds
    bool bNoStop = false;  // quit: leave the relay running and the module loaded
};

// Parses one line; false with *pError set when it is not a valid command.
bool ParseScriptCommand(const std::string &line, ScriptCommand *pCmd, std::string *pError);

// Data as the callback lines show it: "-" when there is none, the hex of
// all bytes up to 64, else the hex of the first 64, "..." and, after a blank,
// the FNV-1a 32 of all bytes as eight hex digits.
std::string DataPreview(const unsigned char *data, int32_t nSize);
// A type byte as a printable character, "-" for 0, else "0x" and two digits.
std::string TypeText(unsigned char type);
// The payload of sendn: byte i is i & 0xff.
std::vector<unsigned char> PatternPayload(size_t n);

const char SCRIPT_HELP[] =
    "Script commands (one per line; each is answered by a line starting with @):\n"
    "  start [nosend] [nullrec]    sh_load_start       -> @start <rc> pfrec=<0|1>\n"
    "  exit                        sh_load_exit        -> @exit <milliseconds>\n"
    "  setfunc <code> [null]       sh_setfunc(printer, code): the link-state printer for\n"
    "                              1003, the K printer otherwise; null: a null pointer\n"
    "                              -> @setfunc\n"
    "  send <type> <id> <hex|->    sh_recv             -> @send <rc>\n"
    "  rec <type> <id> <hex|->     the pfRec from start -> @rec <rc> (@rec nofunc without one)\n"
    "  sendn <type> <id> <len>     payload byte i = i & 0xff, any len -> @send <rc>\n"
    "                              (the buffer holds at most 16 MiB of it)\n"
    "  sendnull <len>              sh_recv('D', 1, null, len) -> @send <rc>\n"
    "  getdata <bufsize>           sh_getdata -> @getdata <rc> <type|-> <id> <len> <hex|->\n"
    "                              (id and len show 4294967295 when not written)\n"
    "  getdata-null                sh_getdata with null pointers -> @getdata <rc>\n"
    "  echo on|off                 pfSend hands each D back through sh_recv -> @echo on|off\n"
    "  flood <threads> <count> <size> [<pause_us>]\n"
    "                              parallel sh_recv of D packets -> @flood <ok> <refused>\n"
    "                              (id = thread index; data starts with the thread index\n"
    "                              and the sequence number, 32-bit little-endian each)\n"
    "  maxrecv                     the longest sh_recv call of send, sendn, sendnull,\n"
    "                              flood and echo since the last maxrecv, in microseconds,\n"
    "                              and the number of calls; starts a new count\n"
    "                              -> @maxrecv <us> <calls>\n"
    "  sleep <ms>                  -> @slept\n"
    "  fds <n>                     hold n extra descriptors open (opens or closes some;\n"
    "                              0 closes them all), raising the soft limit as needed;\n"
    "                              POSIX only\n"
    "                              -> @fds <held> <highest descriptor|->\n"
    "  cycle <n> [<hold_ms>]       n rounds of sh_load_start, a pause, sh_load_exit\n"
    "                              -> @cycle <started> <refused> (relay must be stopped)\n"
    "  stall <ms>                  the next D callback waits ms before it returns -> @stall\n"
    "  fault                       installs a crash handler (SIGSEGV; on Windows an\n"
    "                              unhandled-exception filter); the next D callback then\n"
    "                              touches unmapped memory, the handler prints @fault-handled\n"
    "                              and ends the process with status 77 -> @fault\n"
    "  reload                      unloads the module and loads it again -> @reload\n"
    "  quit [nostop]               sh_load_exit if still running, unload -> @quit, exit 0;\n"
    "                              nostop: neither stops the relay nor unloads the module\n"
    "A type is one character or 0xNN. Bad commands are answered with @error <reason>.\n"
    "Callbacks print @D <id> <size> <data>, @K <id> <value> and @L <state> <code>, where\n"
    "<data> is the hex of up to 64 bytes, or of the first 64 followed by \"...\", a blank\n"
    "and the FNV-1a 32 of all bytes in eight hex digits.\n";

} // namespace host
