// Calls made and received in machine code, so that a test sees exactly what
// a call does to the stack pointer, without the compiler in between.
// stack_probe_i386.S and stack_probe_x86_64.S implement them.
#pragma once

#include <cstdint>

#include "DEZuzovEzodid.h"

extern "C" {

// Calls pfn with the nArgs argument words at pArgs, placed as a caller of the
// platform's C convention places them (32-bit: on the stack, first argument
// lowest; 64-bit: the first four in registers as well), and stores its
// result in *pResult. Returns how far the call moved the stack pointer: 0
// when the callee left its arguments for the caller to remove, as cdecl
// functions do; 4 * nArgs when it removed them, as stdcall functions do.
// Either way the stack pointer is put back afterwards, so a callee of the
// wrong convention cannot harm the caller.
intptr_t stack_probe_call(const void *pfn, const uintptr_t *pArgs, uint32_t nArgs,
                          intptr_t *pResult);

// Calls pfn nCalls times in a row from one frame, with the stack pointer 16
// bytes or more lower at each call than at the one before: the stack of a
// caller that leaves every call's arguments behind, as one that takes a
// cdecl callee for a stdcall one does.
void stack_probe_call_sinking(const void *pfn, const uintptr_t *pArgs, uint32_t nArgs,
                              uint32_t nCalls);

// Where a callback found the stack at entry: the stack pointer, and the
// return address it points at, which names the caller's call site.
struct ProbeEntry {
    uintptr_t sp;
    uintptr_t site;
};
extern ProbeEntry g_probeEntry;

// A SendFunc and a Func1002 for the relay: each notes its entry in
// g_probeEntry, then goes on in probe_send_body or probe_k_body (the test's
// code) with the stack as the caller left it.
void DEZ_CALL probe_send_entry(uint32_t nId, const unsigned char *pData, int32_t nSize);
void DEZ_CALL probe_k_entry(uint32_t nId, uint32_t nValue);
void DEZ_CALL probe_send_body(uint32_t nId, const unsigned char *pData, int32_t nSize);
void DEZ_CALL probe_k_body(uint32_t nId, uint32_t nValue);

#if defined(__x86_64__)
// Returns a + b and removes 16 bytes of the caller's stack, as no function of
// the 64-bit convention does: the control for the probe there.
intptr_t probe_callee_pops_pair(intptr_t a, intptr_t b);
#endif

} // extern "C"
