// A stand-in module with the relay's five exports and no network, so the
// sample host's script mode can be exercised on its own. It answers on the
// calling thread:
//   type 'E': hands id and data straight back to pfSend (as a "D" message)
//   type 'K': calls the code-1002 function with id and the data's first
//             four bytes (little-endian) as the value
//   type 'D': keeps the message for sh_getdata (the last one only)
// Sizes below 0 or above 800, or a null pointer with a positive size, are
// refused with -1 while started; everything is accepted (0) while stopped.
#include <cstring>
#include <mutex>
#include <vector>

#include "DEZuzovEzodid.h"

namespace {

std::mutex g_mutex;
bool g_bStarted = false;
SendFunc g_pfSend = nullptr;
Func1002 g_pfK = nullptr;
bool g_bHeld = false;
uint32_t g_nHeldId = 0;
std::vector<unsigned char> g_held;

} // namespace

extern "C" {

DEZ_API int32_t DEZ_CALL sh_recv(unsigned char nType, uint32_t nId, const unsigned char *pBuf,
                                 int32_t nLen) {
    SendFunc pfSend;
    Func1002 pfK;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_bStarted)
            return 0;
        if (nLen < 0 || nLen > 800 || (nLen > 0 && pBuf == nullptr))
            return -1;
        if (nType == 'D') {
            g_held.assign(pBuf, pBuf + nLen);
            g_nHeldId = nId;
            g_bHeld = true;
            return 0;
        }
        pfSend = g_pfSend;
        pfK = g_pfK;
    }
    if (nType == 'E' && pfSend != nullptr)
        pfSend(nId, pBuf, nLen);
    if (nType == 'K' && pfK != nullptr) {
        uint32_t nValue = 0;
        if (nLen >= 4)
            nValue = pBuf[0] | pBuf[1] << 8 | pBuf[2] << 16 | static_cast<uint32_t>(pBuf[3]) << 24;
        pfK(nId, nValue);
    }
    return 0;
}

DEZ_API int32_t DEZ_CALL sh_load_start(SendFunc pfSend, RecvFunc *ppfRec) {
    if (ppfRec != nullptr)
        *ppfRec = sh_recv;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_bStarted)
        return DEZ_START_RUNNING;
    g_bStarted = true;
    g_pfSend = pfSend;
    return DEZ_START_OK;
}

DEZ_API void DEZ_CALL sh_load_exit(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_bStarted = false;
}

DEZ_API void DEZ_CALL sh_setfunc(void *pfn, int32_t nCode) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (nCode == DEZ_FUNC_K_MESSAGE)
        g_pfK = reinterpret_cast<Func1002>(pfn);
}

DEZ_API int32_t DEZ_CALL sh_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                                    uint32_t *pId, uint32_t *pLen) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bHeld)
        return DEZ_GETDATA_NONE;
    g_bHeld = false;
    if (g_held.size() > nBuffLen || pData == nullptr || pType == nullptr || pId == nullptr) {
        if (pLen != nullptr)
            *pLen = 0;
        return DEZ_GETDATA_TOO_SMALL;
    }
    if (!g_held.empty())
        std::memcpy(pData, g_held.data(), g_held.size());
    *pType = 'D';
    *pId = g_nHeldId;
    if (pLen != nullptr)
        *pLen = static_cast<uint32_t>(g_held.size());
    return DEZ_GETDATA_OK;
}

} // extern "C"
