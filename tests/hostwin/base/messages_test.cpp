// Thread message queues and thread timers.
#include "machine.h"

#include <windows.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

using testing_support::MachineTest;

namespace {

class MessagesTest : public MachineTest {};

std::atomic<int> g_ticks{0};
HANDLE g_secondTick = NULL;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) {
    if (++g_ticks == 2 && g_secondTick)
        SetEvent(g_secondTick);
}

// Once `start` is set, sets a timer and pumps until WM_QUIT, whose wParam it returns; any
// message but WM_TIMER ends it with 1.
DWORD WINAPI PumpUntilQuit(LPVOID start) {
    WaitForSingleObject(start, INFINITE);
    SetTimer(NULL, 1, 10, CountTick);
    MSG msg{};
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (msg.message != WM_TIMER)
            return 1;
        DispatchMessageW(&msg);
    }
    return static_cast<DWORD>(msg.wParam);
}

TEST_F(MessagesTest, AThreadTakesPostsOnlyWhileItHasAQueueAndItsTimersTick) {
    g_ticks = 0;
    HANDLE start = CreateEventW(NULL, TRUE, FALSE, NULL);
    g_secondTick = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, PumpUntilQuit, start, 0, &id);
    ASSERT_NE(thread, nullptr);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0)) << "no queue yet";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    SetEvent(start);
    ASSERT_EQ(WaitForSingleObject(g_secondTick, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 77, 0));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u) << "the refused post must not turn up once the queue exists";
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0)) << "the queue ended with its thread";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    CloseHandle(thread);
    CloseHandle(start);
    CloseHandle(g_secondTick);
    g_secondTick = NULL;
}

TEST_F(MessagesTest, GetMessageRefusesWhatItCannotServeWithMinusOne) {
    MSG msg;
    SetLastError(0);
    EXPECT_EQ(GetMessageW(NULL, NULL, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(0x1234), 0, 0), -1);
    EXPECT_EQ(GetMessageW(&msg, NULL, WM_USER, WM_USER + 10), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(MessagesTest, QueueHoldsAtMostTenThousandPostedMessages) {
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE); // the queue exists from now on
    const DWORD self = GetCurrentThreadId();
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(PostThreadMessageW(self, WM_USER, static_cast<WPARAM>(i), 0)) << i;
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 10000, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
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
    EXPECT_NE(first, second) << "the requested id is ignored, so this is a second timer";
    EXPECT_EQ(SetTimer(NULL, first, 30000, NULL), first) << "naming a timer replaces it";
    UINT_PTR foreign = 0;
    std::thread([&] {
        foreign = SetTimer(NULL, 0, 60000, NULL);
        EXPECT_FALSE(KillTimer(NULL, first)) << "another thread's timer";
    }).join();
    EXPECT_NE(foreign, 0u);
    EXPECT_NE(foreign, first) << "ids are unique in the process";
    EXPECT_TRUE(KillTimer(NULL, first));
    EXPECT_FALSE(KillTimer(NULL, first));
    EXPECT_TRUE(KillTimer(NULL, second));
    SetLastError(0);
    EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(0x1234), 1, 100, NULL), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

// Posted messages come first in the order they were posted, so a WM_QUIT posted while a timer
// is due ends the loop before any tick, and what was posted after it stays. However many
// periods were missed, the timer then gives one WM_TIMER, not a burst: the third comes at least
// a period after the first was asked for. Only that lower bound is checked, so a stalled
// machine makes the test wait longer, never fail.
TEST_F(MessagesTest, TimerYieldsToPostedMessagesAndNeverPilesUp) {
    constexpr DWORD kPeriod = 20;
    g_ticks = 0;
    UINT_PTR id = SetTimer(NULL, 0, kPeriod, CountTick);
    ASSERT_NE(id, 0u);
    Sleep(3 * kPeriod + 10); // due three times while nobody looks
    for (UINT message : {WM_USER + 1, WM_USER + 2, WM_QUIT, WM_USER + 3})
        ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), message, 7, 0));
    std::vector<UINT> taken;
    MSG msg{};
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        taken.push_back(msg.message);
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_EQ(g_ticks.load(), 0) << "no tick ran although the timer was due";
    const DWORD before = GetTickCount();
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(GetMessageW(&msg, NULL, 0, 0));
        taken.push_back(msg.message);
    }
    EXPECT_EQ(taken, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_TIMER, WM_TIMER,
                                        WM_TIMER}));
    EXPECT_EQ(msg.wParam, id);
    EXPECT_GE(msg.time - before, kPeriod) << "missed periods piled up";
    EXPECT_TRUE(KillTimer(NULL, id));
}

// What the timer callback was called with, the time apart; touched by the test's thread only.
using TimerCall = std::tuple<HWND, UINT, UINT_PTR>;
std::vector<TimerCall> g_timerCalls;
DWORD g_timerCallTime = 0;
void CALLBACK RecordTimerCall(HWND window, UINT message, UINT_PTR id, DWORD time) {
    g_timerCalls.emplace_back(window, message, id);
    g_timerCallTime = time;
}

TEST_F(MessagesTest, DispatchCallsOnlyOwnTimerCallbacksWithTheirFourArguments) {
    g_timerCalls.clear();
    UINT_PTR id = SetTimer(NULL, 9, 10, RecordTimerCall);
    ASSERT_NE(id, 0u);
    DWORD before = GetTickCount();
    MSG msg{};
    ASSERT_TRUE(GetMessageW(&msg, NULL, 0, 0));
    ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, id);
    EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(&RecordTimerCall));
    DispatchMessageW(&msg);
    EXPECT_EQ(g_timerCalls, std::vector<TimerCall>{TimerCall(NULL, WM_TIMER, id)});
    EXPECT_GE(g_timerCallTime, before);
    EXPECT_LE(g_timerCallTime, GetTickCount());
    EXPECT_TRUE(KillTimer(NULL, id));

    // Anyone may post a WM_TIMER whose lParam names a function no timer of this thread uses.
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_TIMER, id, msg.lParam));
    ASSERT_TRUE(GetMessageW(&msg, NULL, 0, 0));
    DispatchMessageW(&msg);
    EXPECT_EQ(g_timerCalls.size(), 1u) << "a forged WM_TIMER called a function";
}

} // namespace
