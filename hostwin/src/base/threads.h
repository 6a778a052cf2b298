// Per-thread state shared by the thread, message and COM areas.
#pragma once

#include <windows.h>

#include <chrono>

namespace hostwin {

// Ends the calling thread's message queue and its timers. Runs when a thread ends, before its
// handle is signalled, so that a waiter never sees a finished thread with a live queue. Safe to
// call more than once.
void EndThreadMessaging();

// Milliseconds on the monotonic clock, the host's "time since the system started".
DWORD TickCount();

// Deadline for a wait of `milliseconds` already scaled; INFINITE has none.
struct WaitDeadline {
    bool infinite;
    std::chrono::steady_clock::time_point at;
};
WaitDeadline DeadlineAfter(DWORD scaledMilliseconds);

} // namespace hostwin
