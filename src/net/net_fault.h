// A fault seam below the socket layer, for tests: the nth send, receive or
// link-option call from now on fails with a chosen platform error, as if the
// platform had failed it. Only test builds compile it in (RELAY_FAULT_SEAM); in the
// module take() is a constant false and the hooks vanish.
#pragma once

#include <cstdint>

namespace net_fault {

enum Call { SEND, RECV, SET_OPTION, CALL_COUNT };

#if defined(RELAY_FAULT_SEAM)
// Arms the nth call of that kind (1: the next one) to fail with error (an
// errno value on POSIX, a Winsock error on Windows); calls before and after
// it reach the platform. A later arming of the same kind replaces it.
void fail_nth(Call call, uint32_t nth, int error);
// Disarms every kind.
void reset();
// Called by the platform half before each call of that kind: true, with the
// error, when this is the armed call.
bool take(Call call, int *pError);
#else
inline bool take(Call, int *) {
    return false;
}
#endif

} // namespace net_fault
