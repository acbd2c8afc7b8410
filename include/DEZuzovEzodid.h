/*
 * DEZuzovEzodid: relay module between a game server (the host) and a
 * VOZevezu server.
 *
 * The host loads the module (DEZuzovEzodid.dll / DEZuzovEzodid.so), calls
 * sh_load_start once, hands messages to the server through the returned
 * RecvFunc (or sh_recv) from any thread, receives "D" messages in its
 * SendFunc and "K" messages in the function registered with code 1002, both
 * on the relay's connection thread, and calls sh_load_exit before it
 * unloads the module. A host that registers a function with code 1003 is
 * also told, on the same thread, when the link to the server comes up and
 * when it goes down.
 *
 * Usable from C and C++. Every function that crosses the boundary uses the
 * cdecl calling convention on 32-bit Windows (DEZ_CALL).
 */
#ifndef DEZUZOVEZODID_H
#define DEZUZOVEZODID_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define DEZ_CALL __cdecl
#else
#define DEZ_CALL
#endif

#if defined(DEZ_BUILDING_MODULE)
#if defined(_WIN32)
/* The export table comes from the module-definition file. */
#define DEZ_API
#else
#define DEZ_API __attribute__((visibility("default")))
#endif
#else
#define DEZ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of sh_load_start. */
#define DEZ_START_OK 0
#define DEZ_START_FAILED (-1)        /* configuration unreadable, or no monitor thread */
#define DEZ_START_NOT_ENABLED (-101) /* GameThunkServer_Start is not 1 */
#define DEZ_START_RUNNING (-102)     /* a relay is already running */
#define DEZ_START_NO_MEMORY (-103)   /* the relay object could not be created */

/* Results of sh_recv (and of the RecvFunc handed out by sh_load_start). */
#define DEZ_RECV_OK 0         /* sent; also while the link is down (dropped) or not started */
#define DEZ_RECV_REFUSED (-1) /* connected, and the size is outside 0..800 or the data is null */

/* Results of sh_getdata. */
#define DEZ_GETDATA_OK 0
#define DEZ_GETDATA_NONE 1
#define DEZ_GETDATA_TOO_SMALL 2

/* Registration codes of sh_setfunc. */
#define DEZ_FUNC_1001 1001
#define DEZ_FUNC_K_MESSAGE 1002
#define DEZ_FUNC_LINK_STATE 1003

/* States passed to the code-1003 function. */
#define DEZ_LINK_DOWN 0
#define DEZ_LINK_UP 1

/* Codes passed with DEZ_LINK_DOWN: why the connection ended. */
#define DEZ_LINK_WAIT_FAILED (-101)  /* waiting for data on the socket failed */
#define DEZ_LINK_READ_FAILED (-102)  /* a read failed (a reset, for one) */
#define DEZ_LINK_CLOSED (-103)       /* the server closed the connection */
#define DEZ_LINK_UNKNOWN_TYPE (-106) /* the server sent a packet of unknown type */
#define DEZ_LINK_SEND_SHORT (-107)   /* a send could not be made whole */

/* Called by the relay for each "D" message; pData is valid only during the call. */
typedef void(DEZ_CALL *SendFunc)(uint32_t nId, const unsigned char *pData, int32_t nSize);

/* The relay's receive routine handed out by sh_load_start; same as sh_recv. */
typedef int32_t(DEZ_CALL *RecvFunc)(unsigned char nType, uint32_t nId, const unsigned char *pBuf,
                                    int32_t nLen);

/* Called by the relay for each "K" message. */
typedef void(DEZ_CALL *Func1002)(uint32_t nId, uint32_t nValue);

/* Called by the relay with (DEZ_LINK_UP, 0) when a connection has opened,
 * before its first message is handed over, and with (DEZ_LINK_DOWN, code)
 * when it has ended. Once sh_load_exit has begun, no further call is made,
 * except one that the relay had already decided on as the stop came in: it
 * may still begin, and it ends before sh_load_exit returns (unless a callback
 * holds the relay's thread past the stop's 10-second wait). */
typedef void(DEZ_CALL *Func1003)(int32_t nState, int32_t nCode);

DEZ_API int32_t DEZ_CALL sh_load_start(SendFunc pfSend, RecvFunc *ppfRec);
DEZ_API void DEZ_CALL sh_load_exit(void);
DEZ_API void DEZ_CALL sh_setfunc(void *pfn, int32_t nCode);
DEZ_API int32_t DEZ_CALL sh_recv(unsigned char nType, uint32_t nId, const unsigned char *pBuf,
                                 int32_t nLen);
DEZ_API int32_t DEZ_CALL sh_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                                    uint32_t *pId, uint32_t *pLen);

/* Pointer types for hosts that look the exports up at run time. */
typedef int32_t(DEZ_CALL *sh_load_start_t)(SendFunc pfSend, RecvFunc *ppfRec);
typedef void(DEZ_CALL *sh_load_exit_t)(void);
typedef void(DEZ_CALL *sh_setfunc_t)(void *pfn, int32_t nCode);
typedef int32_t(DEZ_CALL *sh_recv_t)(unsigned char nType, uint32_t nId, const unsigned char *pBuf,
                                     int32_t nLen);
typedef int32_t(DEZ_CALL *sh_getdata_t)(unsigned char *pData, uint32_t nBuffLen,
                                        unsigned char *pType, uint32_t *pId, uint32_t *pLen);

#ifdef __cplusplus
}
#endif

#endif /* DEZUZOVEZODID_H */
