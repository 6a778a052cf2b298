// Threads, events, sleeps and thread identifiers of the host.
#include "base/core.h"
#include "base/threads.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace hostwin {

namespace {

// Identifiers are handed out once per process and never reused, so a stale identifier can
// never reach a newer thread. Multiples of 4, never 0, as on Windows.
std::atomic<DWORD> g_nextThreadId{0x400};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() {
    return g_nextThreadId.fetch_add(4);
}

// Waits on `changed` until `ready()` holds or the deadline passes; true when it holds.
template <class Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
               DWORD scaledMilliseconds, Ready ready) {
    WaitDeadline deadline = DeadlineAfter(scaledMilliseconds);
    if (deadline.infinite) {
        changed.wait(lock, ready);
        return true;
    }
    return changed.wait_until(lock, deadline.at, ready);
}

// Security attributes are accepted only when they ask for nothing the host cannot give.
class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(DWORD id) : KernelObject(HandleKind::Thread), m_id(id) {}

    DWORD Id() const { return m_id; }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!WaitUntil(lock, m_changed, ScaleMilliseconds(milliseconds),
                       [this] { return m_finished; }))
            return WAIT_TIMEOUT;
        return WAIT_OBJECT_0;
    }

    void Finish(DWORD exitCode) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_exitCode = exitCode;
        m_finished = true;
        m_changed.notify_all();
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_finished ? m_exitCode : static_cast<DWORD>(STILL_ACTIVE);
    }

private:
    const DWORD m_id;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_finished = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool signaled)
        : KernelObject(HandleKind::Event), m_manualReset(manualReset), m_signaled(signaled) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!WaitUntil(lock, m_changed, ScaleMilliseconds(milliseconds),
                       [this] { return m_signaled; }))
            return WAIT_TIMEOUT;
        // An auto-reset event releases exactly one waiter per signal.
        if (!m_manualReset)
            m_signaled = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_signaled = true;
        m_changed.notify_all();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_signaled = false;
    }

private:
    const bool m_manualReset;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_signaled;
};

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
    return std::dynamic_pointer_cast<EventObject>(LookupHandle(handle, HandleKind::Event));
}

} // namespace

DWORD TickCount() {
    auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    // Wraps after 49.7 days, as the platform's tick count does.
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

WaitDeadline DeadlineAfter(DWORD scaledMilliseconds) {
    if (scaledMilliseconds == INFINITE)
        return WaitDeadline{true, {}};
    return WaitDeadline{false, std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(scaledMilliseconds)};
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

DWORD WINAPI GetCurrentThreadId() {
    // Threads the host did not start (the main thread, std::thread) get theirs on first use.
    if (t_threadId == 0)
        t_threadId = NewThreadId();
    return t_threadId;
}

DWORD WINAPI GetTickCount() {
    return TickCount();
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    HOSTWIN_FAULT_POINT(static_cast<HANDLE>(NULL));
    if (!PlainSecurityAttributes(lpThreadAttributes))
        return NotSupported(__func__, "security attributes", static_cast<HANDLE>(NULL));
    if (dwStackSize != 0)
        return NotSupported(__func__, "stack size", static_cast<HANDLE>(NULL));
    if (dwCreationFlags != 0)
        return NotSupported(__func__, "creation flags", static_cast<HANDLE>(NULL));
    if (lpStartAddress == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(NULL));

    auto thread = std::make_shared<ThreadObject>(NewThreadId());
    try {
        // The thread holds its own reference, so closing the handle early is harmless.
        std::thread([thread, lpStartAddress, lpParameter] {
            t_threadId = thread->Id();
            DWORD exitCode = CallProgramCallback([&] { return lpStartAddress(lpParameter); });
            EndThreadMessaging();
            thread->Finish(exitCode);
        }).detach();
    } catch (const std::system_error&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(NULL));
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(NULL));
    }
    LogCall(__func__, "id=%u", thread->Id());
    if (lpThreadId)
        *lpThreadId = thread->Id();
    return InsertHandle(thread);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<KernelObject> object = LookupHandle(hThread, HandleKind::Thread);
    if (!object)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    auto thread = std::dynamic_pointer_cast<ThreadObject>(object);
    if (!thread) // the primary thread of a child process lives in another process
        return NotSupported(__func__, "thread of another process", FALSE);
    if (lpExitCode == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
    HOSTWIN_FAULT_POINT(static_cast<HANDLE>(NULL));
    if (!PlainSecurityAttributes(lpEventAttributes))
        return NotSupported(__func__, "security attributes", static_cast<HANDLE>(NULL));
    if (lpName != NULL && lpName[0] != 0)
        return NotSupported(__func__, "named event", static_cast<HANDLE>(NULL));
    HANDLE handle =
        InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
    LogCall(__func__, "manual=%d initial=%d", bManualReset ? 1 : 0, bInitialState ? 1 : 0);
    SetLastError(ERROR_SUCCESS); // no name, so never ERROR_ALREADY_EXISTS
    return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<EventObject> event = LookupEvent(hEvent);
    if (!event)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    LogCall(__func__, "%s", "");
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<EventObject> event = LookupEvent(hEvent);
    if (!event)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    LogCall(__func__, "%s", "");
    event->Reset();
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    LogCall(__func__, "ms=%u", dwMilliseconds);
    DWORD scaled = ScaleMilliseconds(dwMilliseconds);
    if (scaled == 0) {
        std::this_thread::yield();
        return;
    }
    if (scaled == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

} // extern "C"
