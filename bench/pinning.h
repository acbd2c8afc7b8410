// How a loaded host runs: its threads pinned to one CPU and the server's to
// the other, and a host thread that waits for an answer the way game
// servers do, spinning briefly and then blocking until it is woken.
#pragma once

#include <cstdint>
#include <thread>

namespace bench {

const int HOST_CPU = 0;
const int SERVER_CPU = 1;
// How long a waiting host spins before it blocks.
const double HOST_SPIN_US = 200.0;

// Remembers the CPUs the process may use; call once at start.
void RememberCpus();
// True when the process may use both HOST_CPU and SERVER_CPU.
bool CanPin();
// Pins the calling thread (or the given one) to cpu; -1 gives it back every
// CPU remembered at start. Threads started afterwards inherit the pin.
bool PinCurrentThread(int cpu);
bool PinThread(std::thread &thread, int cpu);

// The host's receiver wakes a blocked waiter while this is on.
void SetWakingHost(bool bOn);
// Called by the host's receiver after it stored the answer's id.
void WakeHost();
// Waits until the host's receiver took the answer with this id: spins for
// HOST_SPIN_US, then blocks until woken; false after 5 seconds.
bool WaitAnswerSpinThenBlock(uint32_t id);

} // namespace bench
