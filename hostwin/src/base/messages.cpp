// Thread message queues and thread timers.
//
// A thread gets its queue the first time it asks for a message or sets a timer, and loses it
// (with its timers and unread messages) when it ends. WM_TIMER is never stored: it is made up
// when the thread looks for a message, finds none posted and one of its timers is due, so a
// timer can never have more than one WM_TIMER pending and a posted WM_QUIT always wins.
#include "base/core.h"
#include "base/threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace hostwin {

namespace {

using Clock = std::chrono::steady_clock;

// The platform's limit on posted messages waiting in one queue.
constexpr size_t kPostedMessageLimit = 10000;
constexpr UINT kTimerMinimum = 0x0000000A;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

struct Timer {
    UINT_PTR id;
    TIMERPROC proc;
    Clock::duration period;
    Clock::time_point due;
};

struct MessageQueue {
    explicit MessageQueue(DWORD owner) : threadId(owner) {}
    const DWORD threadId;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<MSG> posted;
    std::vector<Timer> timers; // a handful per thread at most
    bool ended = false;
};

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};
QueueRegistry& Registry() {
    static QueueRegistry* registry = new QueueRegistry; // outlives every thread's clean-up
    return *registry;
}

// Thread timer identifiers come from one process-wide pool, as the platform assigns them.
std::atomic<UINT_PTR> g_nextTimerId{0x7E00};

// Ends the queue of a thread that hostwin did not start (main thread, std::thread) when the
// thread ends; threads from CreateThread end theirs earlier, before their handle is signalled.
struct ThreadQueue {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueue() { EndThreadMessaging(); }
};
thread_local ThreadQueue t_queue;

MessageQueue& CurrentQueue() {
    if (!t_queue.queue) {
        auto queue = std::make_shared<MessageQueue>(GetCurrentThreadId());
        QueueRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.queues[queue->threadId] = queue;
        t_queue.queue = std::move(queue);
    }
    return *t_queue.queue;
}

std::shared_ptr<MessageQueue> FindQueue(DWORD threadId) {
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.queues.find(threadId);
    return it == registry.queues.end() ? nullptr : it->second;
}

Timer* EarliestTimer(MessageQueue& queue) {
    auto it = std::min_element(queue.timers.begin(), queue.timers.end(),
                               [](const Timer& a, const Timer& b) { return a.due < b.due; });
    return it == queue.timers.end() ? nullptr : &*it;
}

// Takes (or with `remove` false, copies) the next message. Posted messages come first; a due
// timer yields one WM_TIMER and, when taken, is re-armed past every period it missed, so a
// thread that was busy gets one WM_TIMER rather than a burst.
bool NextMessage(MessageQueue& queue, MSG* message, bool wait, bool remove) {
    std::unique_lock<std::mutex> lock(queue.lock);
    for (;;) {
        if (!queue.posted.empty()) {
            *message = queue.posted.front();
            if (remove)
                queue.posted.pop_front();
            return true;
        }
        Timer* timer = EarliestTimer(queue);
        Clock::time_point now = Clock::now();
        if (timer && timer->due <= now) {
            *message = MSG{};
            message->message = WM_TIMER;
            message->wParam = timer->id;
            message->lParam = reinterpret_cast<LPARAM>(timer->proc);
            message->time = TickCount();
            if (remove)
                timer->due += timer->period * ((now - timer->due) / timer->period + 1);
            return true;
        }
        if (!wait)
            return false;
        if (timer) {
            Clock::time_point due = timer->due; // the timer may move while we wait
            queue.changed.wait_until(lock, due);
        } else {
            queue.changed.wait(lock);
        }
    }
}

bool ThreadOwnsTimerProc(TIMERPROC proc) {
    if (!t_queue.queue)
        return false;
    MessageQueue& queue = *t_queue.queue;
    std::lock_guard<std::mutex> guard(queue.lock);
    return std::any_of(queue.timers.begin(), queue.timers.end(),
                       [proc](const Timer& timer) { return timer.proc == proc; });
}

} // namespace

void EndThreadMessaging() {
    std::shared_ptr<MessageQueue> queue = std::move(t_queue.queue);
    if (!queue)
        return;
    {
        QueueRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.lock);
        auto it = registry.queues.find(queue->threadId);
        if (it != registry.queues.end() && it->second == queue)
            registry.queues.erase(it);
    }
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->ended = true; // a post that found the queue just before it went now fails
    queue->posted.clear();
    queue->timers.clear();
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "thread=%u msg=0x%04X wParam=0x%llX lParam=0x%llX", idThread, Msg,
            static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(lParam));
    std::shared_ptr<MessageQueue> queue = FindQueue(idThread);
    if (!queue)
        return FailWith(ERROR_INVALID_THREAD_ID, FALSE);
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->ended)
        return FailWith(ERROR_INVALID_THREAD_ID, FALSE);
    if (queue->posted.size() >= kPostedMessageLimit)
        return FailWith(ERROR_NOT_ENOUGH_QUOTA, FALSE);
    MSG message{};
    message.message = Msg;
    message.wParam = wParam;
    message.lParam = lParam;
    message.time = TickCount();
    queue->posted.push_back(message);
    queue->changed.notify_all();
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    HOSTWIN_FAULT_POINT(-1);
    if (lpMsg == NULL)
        return FailWith(ERROR_NOACCESS, -1);
    if (hWnd != NULL)
        return NotSupported(__func__, "window filter", -1);
    if (wMsgFilterMin != 0 || wMsgFilterMax != 0)
        return NotSupported(__func__, "message filter", -1);
    NextMessage(CurrentQueue(), lpMsg, true, true);
    return lpMsg->message != WM_QUIT;
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (lpMsg == NULL)
        return FailWith(ERROR_NOACCESS, FALSE);
    if (hWnd != NULL)
        return NotSupported(__func__, "window filter", FALSE);
    if (wMsgFilterMin != 0 || wMsgFilterMax != 0)
        return NotSupported(__func__, "message filter", FALSE);
    if ((wRemoveMsg & ~static_cast<UINT>(PM_REMOVE | PM_NOYIELD)) != 0)
        return NotSupported(__func__, "queue status flags", FALSE);
    return NextMessage(CurrentQueue(), lpMsg, false, (wRemoveMsg & PM_REMOVE) != 0);
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
    HOSTWIN_FAULT_POINT(FALSE);
    // Only key messages are translated, and the host has no keyboard input.
    return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
    HOSTWIN_FAULT_POINT(0);
    if (lpMsg == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (lpMsg->hwnd != NULL) // the host has no windows
        return FailWith(ERROR_INVALID_WINDOW_HANDLE, 0);
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        // Anyone may post a WM_TIMER to this thread; only call what one of its own timers
        // registered, never an address taken from a forged message.
        if (!ThreadOwnsTimerProc(proc))
            return 0;
        DWORD now = TickCount();
        CallProgramCallback([&] { proc(NULL, WM_TIMER, lpMsg->wParam, now); });
    }
    return 0;
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    HOSTWIN_FAULT_POINT(0);
    if (hWnd != NULL)
        return NotSupported(__func__, "window timer", static_cast<UINT_PTR>(0));
    UINT elapse = std::clamp(uElapse, kTimerMinimum, kTimerMaximum);
    DWORD scaled = std::max<DWORD>(ScaleMilliseconds(elapse), 1);
    Clock::duration period = std::chrono::milliseconds(scaled);

    MessageQueue& queue = CurrentQueue();
    UINT_PTR id = 0;
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        // A thread timer is replaced only when the request names one of this thread's own
        // timers; any other requested identifier is ignored and a new one assigned.
        auto existing = std::find_if(queue.timers.begin(), queue.timers.end(),
                                     [nIDEvent](const Timer& t) { return t.id == nIDEvent; });
        if (nIDEvent != 0 && existing != queue.timers.end()) {
            id = existing->id;
            existing->proc = lpTimerFunc;
            existing->period = period;
            existing->due = Clock::now() + period;
        } else {
            id = g_nextTimerId.fetch_add(1);
            queue.timers.push_back(Timer{id, lpTimerFunc, period, Clock::now() + period});
        }
        queue.changed.notify_all();
    }
    LogCall(__func__, "requested=%llu id=%llu elapse=%u callback=%s",
            static_cast<unsigned long long>(nIDEvent), static_cast<unsigned long long>(id), uElapse,
            lpTimerFunc ? "yes" : "no");
    return id;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (hWnd != NULL)
        return NotSupported(__func__, "window timer", FALSE);
    if (t_queue.queue) {
        MessageQueue& queue = *t_queue.queue;
        std::lock_guard<std::mutex> guard(queue.lock);
        auto it = std::find_if(queue.timers.begin(), queue.timers.end(),
                               [uIDEvent](const Timer& t) { return t.id == uIDEvent; });
        if (it != queue.timers.end()) {
            queue.timers.erase(it);
            return TRUE;
        }
    }
    // Only the calling thread's own timers can be killed without a window.
    return FailWith(ERROR_INVALID_PARAMETER, FALSE);
}

} // extern "C"
