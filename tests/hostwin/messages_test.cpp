// Thread message queues and thread timers.
#include "machine.h"

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

using testing_support::MachineTest;

namespace {

class MessagesTest : public MachineTest {};

// Makes the calling thread's queue exist without taking anything from it.
void CreateQueue() {
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);
}

// A thread that creates its queue only when told to, then takes one message and ends.
struct LateQueueThread {
    HANDLE makeQueue = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE queueReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    MSG received{};
    DWORD id = 0;
    HANDLE thread = NULL;

    static DWORD WINAPI Run(LPVOID parameter) {
        auto* self = static_cast<LateQueueThread*>(parameter);
        WaitForSingleObject(self->makeQueue, INFINITE);
        CreateQueue();
        SetEvent(self->queueReady);
        GetMessageW(&self->received, NULL, 0, 0);
        return 0;
    }
    LateQueueThread() { thread = CreateThread(NULL, 0, Run, this, 0, &id); }
    ~LateQueueThread() {
        CloseHandle(thread);
        CloseHandle(makeQueue);
        CloseHandle(queueReady);
    }
};

TEST_F(MessagesTest, PostingNeedsALiveThreadWithAQueue) {
    LateQueueThread target;
    ASSERT_NE(target.thread, nullptr);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(target.id, WM_USER, 1, 0)) << "no queue yet";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    SetEvent(target.makeQueue);
    ASSERT_EQ(WaitForSingleObject(target.queueReady, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessageW(target.id, WM_USER, 2, 0));
    ASSERT_EQ(WaitForSingleObject(target.thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(target.received.message, static_cast<UINT>(WM_USER));
    EXPECT_EQ(target.received.wParam, 2u) << "the message posted before the queue was dropped";

    struct Case {
        const char* name;
        DWORD threadId;
    } gone[] = {{"ended thread", target.id}, {"id 0", 0}, {"never issued", 0xFFFFFFF0}};
    for (const Case& c : gone) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageW(c.threadId, WM_USER, 3, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    }
}

TEST_F(MessagesTest, PostedMessagesArriveInOrderAndWmQuitEndsGetMessage) {
    CreateQueue();
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 10, 11));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 2, 20, 21));
    ASSERT_TRUE(PostThreadMessageW(self, WM_QUIT, 7, 0));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 3, 30, 31));

    struct Expected {
        BOOL result;
        UINT message;
        WPARAM wParam;
    } expected[] = {{TRUE, WM_USER + 1, 10},
                    {TRUE, WM_USER + 2, 20},
                    {FALSE, WM_QUIT, 7},
                    {TRUE, WM_USER + 3, 30}};
    for (const Expected& e : expected) {
        MSG msg{};
        EXPECT_EQ(GetMessageW(&msg, NULL, 0, 0), e.result);
        EXPECT_EQ(msg.message, e.message);
        EXPECT_EQ(msg.wParam, e.wParam);
        EXPECT_EQ(msg.hwnd, nullptr);
    }
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, GetMessageRejectsWhatItCannotServe) {
    MSG msg;
    struct Case {
        const char* name;
        LPMSG target;
        HWND window;
        UINT min, max;
        DWORD error;
    } cases[] = {
        {"no MSG", NULL, NULL, 0, 0, ERROR_NOACCESS},
        {"window", &msg, reinterpret_cast<HWND>(0x1234), 0, 0, ERROR_NOT_SUPPORTED},
        {"filter", &msg, NULL, WM_USER, WM_USER + 10, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(GetMessageW(c.target, c.window, c.min, c.max), -1);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(MessagesTest, QueueHoldsAtMostTenThousandPostedMessages) {
    CreateQueue();
    const DWORD self = GetCurrentThreadId();
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(PostThreadMessageW(self, WM_USER, static_cast<WPARAM>(i), 0)) << i;
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 10000, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 10001, 0)) << "room again after one was taken";
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
}

TEST_F(MessagesTest, ThreadTimersGetAssignedIdsAndAreReplacedOnlyByTheirOwnId) {
    UINT_PTR first = SetTimer(NULL, 1, 60000, NULL);
    UINT_PTR second = SetTimer(NULL, 1, 60000, NULL);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second) << "the requested id is ignored, so this is a second timer";

    EXPECT_EQ(SetTimer(NULL, first, 30000, NULL), first) << "naming a timer replaces it";

    UINT_PTR foreign = 0;
    std::thread([&] {
        foreign = SetTimer(NULL, 0, 60000, NULL);
        EXPECT_FALSE(KillTimer(NULL, first)) << "another thread's timer";
    }).join();
    EXPECT_NE(foreign, 0u);
    EXPECT_NE(foreign, first);
    EXPECT_NE(foreign, second);
    EXPECT_FALSE(KillTimer(NULL, foreign)) << "that timer ended with its thread";

    EXPECT_TRUE(KillTimer(NULL, first));
    EXPECT_FALSE(KillTimer(NULL, first));
    EXPECT_TRUE(KillTimer(NULL, second));

    SetLastError(0);
    EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(0x1234), 1, 100, NULL), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(MessagesTest, TimerYieldsToPostedMessagesAndNeverPilesUp) {
    UINT_PTR id = SetTimer(NULL, 0, 200, NULL);
    ASSERT_NE(id, 0u);
    Sleep(450); // the timer falls due twice while nobody looks
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 2, 0, 0));

    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_TRUE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
    ASSERT_TRUE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, id);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_FALSE(PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) << "missed periods gave one WM_TIMER";

    ASSERT_TRUE(GetMessageW(&msg, NULL, 0, 0)) << "the timer goes on";
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_TRUE(KillTimer(NULL, id));
}

struct TimerCall {
    HWND window;
    UINT message;
    UINT_PTR id;
    DWORD time;
};
std::vector<TimerCall> g_timerCalls; // touched by the test's own thread only

void CALLBACK RecordTimerCall(HWND window, UINT message, UINT_PTR id, DWORD time) {
    g_timerCalls.push_back(TimerCall{window, message, id, time});
}

TEST_F(MessagesTest, DispatchCallsTheTimerCallbackWithItsFourArguments) {
    g_timerCalls.clear();
    UINT_PTR id = SetTimer(NULL, 9, 10, RecordTimerCall);
    ASSERT_NE(id, 0u);
    DWORD before = GetTickCount();
    MSG msg{};
    ASSERT_TRUE(GetMessageW(&msg, NULL, 0, 0));
    ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, id);
    EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(&RecordTimerCall));
    EXPECT_FALSE(TranslateMessage(&msg));
    DispatchMessageW(&msg);
    DWORD after = GetTickCount();
    ASSERT_EQ(g_timerCalls.size(), 1u);
    EXPECT_EQ(g_timerCalls[0].window, nullptr);
    EXPECT_EQ(g_timerCalls[0].message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(g_timerCalls[0].id, id);
    EXPECT_GE(g_timerCalls[0].time, before);
    EXPECT_LE(g_timerCalls[0].time, after);
    EXPECT_TRUE(KillTimer(NULL, id));
}

TEST_F(MessagesTest, ForgedTimerMessagesCallNothing) {
    g_timerCalls.clear();
    CreateQueue();
    // Someone posts a WM_TIMER whose lParam names a function no timer of this thread uses.
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_TIMER, 1,
                                   reinterpret_cast<LPARAM>(&RecordTimerCall)));
    MSG msg{};
    ASSERT_TRUE(GetMessageW(&msg, NULL, 0, 0));
    DispatchMessageW(&msg);
    EXPECT_TRUE(g_timerCalls.empty());

    SetLastError(0);
    msg.hwnd = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(g_timerCalls.empty());
}

std::atomic<int> g_ticks{0};
HANDLE g_secondTick = NULL;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) {
    if (++g_ticks == 2)
        SetEvent(g_secondTick);
}

DWORD WINAPI PumpUntilQuit(LPVOID) {
    SetTimer(NULL, 1, 10, CountTick);
    MSG msg;
    BOOL result;
    while ((result = GetMessageW(&msg, NULL, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return result == 0 ? static_cast<DWORD>(msg.wParam) : 0xFFFFFFFF;
}

TEST_F(MessagesTest, QuitPostedWhileATimerIsDueEndsTheLoopFirst) {
    g_ticks = 0;
    UINT_PTR id = SetTimer(NULL, 1, 10, CountTick);
    Sleep(40);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 3, 0));
    MSG msg{};
    BOOL result;
    while ((result = GetMessageW(&msg, NULL, 0, 0)) > 0)
        DispatchMessageW(&msg);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(g_ticks.load(), 0) << "no tick ran although the timer was due";
    EXPECT_TRUE(KillTimer(NULL, id));
}

TEST_F(MessagesTest, LoopOnAnotherThreadTicksUntilItsQuitMessage) {
    g_ticks = 0;
    g_secondTick = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, PumpUntilQuit, NULL, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(g_secondTick, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 77, 0));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u);
    int ticksAtEnd = g_ticks.load();
    EXPECT_GE(ticksAtEnd, 2);
    EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0)) << "queue and timer ended with the thread";
    CloseHandle(thread);
    CloseHandle(g_secondTick);
}

TEST_F(MessagesTest, PostsAndTimersAreInTheCallLog) {
    hostwin::EnableCallLog(true);
    CreateQueue();
    UINT_PTR id = SetTimer(NULL, 4, 60000, NULL);
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
    hostwin::EnableCallLog(false);

    auto timers = hostwin::CallLog("SetTimer");
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_NE(timers[0].args.find("requested=4 id=" + std::to_string(id) + " elapse=60000"),
              std::string::npos)
        << timers[0].args;
    auto posts = hostwin::CallLog("PostThreadMessageW");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].args.find("thread=" + std::to_string(GetCurrentThreadId()) + " msg=0x0012"),
              std::string::npos)
        << posts[0].args;
    KillTimer(NULL, id);
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE);
}

} // namespace
