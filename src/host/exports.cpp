// The five exported functions. Nothing thrown inside the relay crosses
// this boundary.
#include "DEZuzovEzodid.h"
#include "host/globals.h"

extern "C" {

DEZ_API int32_t DEZ_CALL sh_load_start(SendFunc pfSend, RecvFunc *ppfRec) {
    try {
        return relay_load_start(pfSend, ppfRec);
    } catch (...) {
        return DEZ_START_NO_MEMORY;
    }
}

DEZ_API void DEZ_CALL sh_load_exit(void) {
    try {
        relay_load_exit();
    } catch (...) {
    }
}

DEZ_API void DEZ_CALL sh_setfunc(void *pfn, int32_t nCode) {
    relay_setfunc(pfn, nCode);
}

DEZ_API int32_t DEZ_CALL sh_recv(unsigned char nType, uint32_t nId, const unsigned char *pBuf,
                                 int32_t nLen) {
    try {
        return pfRec(nType, nId, pBuf, nLen);
    } catch (...) {
        return DEZ_RECV_REFUSED;
    }
}

DEZ_API int32_t DEZ_CALL sh_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                                    uint32_t *pId, uint32_t *pLen) {
    try {
        return relay_getdata(pData, nBuffLen, pType, pId, pLen);
    } catch (...) {
        return DEZ_GETDATA_NONE;
    }
}

} // extern "C"
