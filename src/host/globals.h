// Process-wide state behind the exported functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "DEZuzovEzodid.h"
#include "platform/platform.h"

class GameServerThunk;

extern int32_t g_nNum;                          // sh_load_start calls made
extern uint32_t g_nPid;                         // the process id
extern std::atomic<GameServerThunk *> g_pThunk; // the running relay object
extern bool g_bGameThunkServerStart;            // "GameThunkServer_Start" as last read
extern plat::Thread *g_hMonitorThread;          // monitor thread of the current object
extern std::atomic<SendFunc> g_pfSend;          // the host's "D" receiver
extern std::atomic<void *> g_pfFunc1001;        // kept; never called
extern std::atomic<Func1002> g_pfFunc1002;      // the host's "K" receiver
extern std::atomic<Func1003> g_pfFunc1003;      // the host's link-state receiver

// The relay's own receive routine handed to the host; the same as sh_recv.
int32_t DEZ_CALL pfRec(unsigned char nType, uint32_t nId, const unsigned char *pBuf, int32_t nLen);

// The exported operations; exports.cpp wraps them for the C boundary.
int32_t relay_load_start(SendFunc pfSend, RecvFunc *ppfRec);
void relay_load_exit();
void relay_setfunc(void *pfn, int32_t nCode);

int32_t relay_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType, uint32_t *pId,
                      uint32_t *pLen);

// Reads "GameThunkServer:GameThunkServer_Start" into g_bGameThunkServerStart;
// 0, or -1 when the file cannot be opened (the flag is then left alone).
int read_xml_global(std::string path);
