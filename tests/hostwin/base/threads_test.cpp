// Threads and events: identifiers, exit codes, waits with time-outs, auto and manual reset.
#include "machine.h"

#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

using testing_support::MachineTest;

namespace {

class ThreadsTest : public MachineTest {};

DWORD WINAPI WaitThenEnd(LPVOID release) {
    WaitForSingleObject(release, INFINITE);
    return 42;
}

DWORD WINAPI SignalAndEnd(LPVOID event) {
    SetEvent(event);
    return 0;
}

TEST_F(ThreadsTest, ThreadHasAnExitCodeOnlyOnceEnded) {
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, WaitThenEnd, release, 0, NULL);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread)) << "a thread is no event";
    EXPECT_FALSE(ResetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(release, &code)) << "nor is an event a thread";

    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(release);

    // Closing the handle at once does not stop the thread.
    HANDLE ran = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(CreateThread(NULL, 0, SignalAndEnd, ran, 0, NULL)));
    EXPECT_EQ(WaitForSingleObject(ran, INFINITE), WAIT_OBJECT_0);
    CloseHandle(ran);
}

TEST_F(ThreadsTest, EveryThreadHasItsOwnStableNonZeroId) {
    DWORD ids[3] = {GetCurrentThreadId()};
    std::thread first([&] { ids[1] = GetCurrentThreadId(); });
    std::thread second([&] { ids[2] = GetCurrentThreadId(); });
    first.join();
    second.join();
    EXPECT_EQ(GetCurrentThreadId(), ids[0]);
    std::set<DWORD> distinct(std::begin(ids), std::end(ids));
    EXPECT_EQ(distinct.size(), 3u);
    EXPECT_EQ(distinct.count(0), 0u);
}

TEST_F(ThreadsTest, RequestsTheHostCannotHonourCreateNothing) {
    HANDLE ran = CreateEventW(NULL, TRUE, FALSE, NULL);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    auto refused = [ran](LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, DWORD flags,
                         LPTHREAD_START_ROUTINE start = SignalAndEnd) {
        SetLastError(0);
        EXPECT_EQ(CreateThread(attributes, stack, start, ran, flags, NULL), nullptr);
        return GetLastError();
    };
    constexpr DWORD kUnsupported = ERROR_NOT_SUPPORTED;
    EXPECT_EQ(refused(NULL, 64 * 1024, 0), kUnsupported);
    EXPECT_EQ(refused(NULL, 0, CREATE_SUSPENDED), kUnsupported);
    EXPECT_EQ(refused(&inheritable, 0, 0), kUnsupported);
    EXPECT_EQ(refused(NULL, 0, 0, NULL), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForSingleObject(ran, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "none of them ran";
    CloseHandle(ran);
    SetLastError(0);
    EXPECT_EQ(CreateEventW(NULL, TRUE, FALSE, u"Global\\shared"), nullptr);
    EXPECT_EQ(GetLastError(), kUnsupported);
}

// Each script step acts on one event: S set, R reset, + a zero wait that must succeed,
// - a zero wait that must time out.
TEST_F(ThreadsTest, EventsFollowTheirResetMode) {
    const struct {
        BOOL manual, initial;
        const char* script;
    } cases[] = {{FALSE, TRUE, "+-S+-SS+-SR-"}, {TRUE, FALSE, "-S++R-S+"}};
    for (const auto& c : cases) {
        HANDLE event = CreateEventW(NULL, c.manual, c.initial, NULL);
        ASSERT_NE(event, nullptr);
        for (const char* step = c.script; *step; ++step) {
            SCOPED_TRACE(std::string(c.script) + " at step " + std::to_string(step - c.script));
            if (*step == 'S') {
                EXPECT_TRUE(SetEvent(event));
            } else if (*step == 'R')
                EXPECT_TRUE(ResetEvent(event));
            else
                EXPECT_EQ(WaitForSingleObject(event, 0),
                          *step == '+' ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        }
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST_F(ThreadsTest, WaitTimesOutThenEachAutoResetSignalWakesOneWaiter) {
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE woke = CreateEventW(NULL, FALSE, FALSE, NULL);
    EXPECT_EQ(WaitForSingleObject(event, 15), static_cast<DWORD>(WAIT_TIMEOUT));
    std::atomic<int> released{0};
    auto wait = [&] {
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        ++released;
        SetEvent(woke);
    };
    std::thread first(wait), second(wait);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 1);
    EXPECT_TRUE(SetEvent(event));
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the woken waiters consumed the signals";
    CloseHandle(event);
    CloseHandle(woke);
}

} // namespace
