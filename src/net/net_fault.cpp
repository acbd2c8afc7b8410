// The fault seam's counters; compiled into test builds only.
#include "net/net_fault.h"

#include <atomic>

namespace {

struct ArmedFault {
    std::atomic<uint32_t> nCallsLeft{0}; // 0: disarmed
    std::atomic<int> error{0};
};

ArmedFault g_faults[net_fault::CALL_COUNT];

} // namespace

void net_fault::fail_nth(Call call, uint32_t nth, int error) {
    g_faults[call].error = error;
    g_faults[call].nCallsLeft = nth;
}

void net_fault::reset() {
    for (ArmedFault &fault : g_faults)
        fault.nCallsLeft = 0;
}

bool net_fault::take(Call call, int *pError) {
    ArmedFault &fault = g_faults[call];
    uint32_t left = fault.nCallsLeft.load();
    while (left != 0 && !fault.nCallsLeft.compare_exchange_weak(left, left - 1)) {
    }
    if (left != 1)
        return false;
    *pError = fault.error;
    return true;
}
