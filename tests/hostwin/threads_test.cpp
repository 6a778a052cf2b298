// Threads and events: identifiers, exit codes, waits with time-outs, auto and manual reset.
#include "machine.h"

#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;

namespace {

class ThreadsTest : public MachineTest {};

struct Gate {
    HANDLE started = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD seenId = 0;
    ~Gate() {
        CloseHandle(started);
        CloseHandle(release);
    }
};

DWORD WINAPI RunUntilReleased(LPVOID parameter) {
    auto* gate = static_cast<Gate*>(parameter);
    gate->seenId = GetCurrentThreadId();
    SetEvent(gate->started);
    WaitForSingleObject(gate->release, INFINITE);
    return 42;
}

TEST_F(ThreadsTest, ThreadRunsUnderItsIdAndHasAnExitCodeOnlyOnceEnded) {
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, RunUntilReleased, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(gate.started, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(gate.seenId, id);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));

    SetEvent(gate.release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));
}

DWORD WINAPI SignalAndEnd(LPVOID parameter) {
    SetEvent(static_cast<HANDLE>(parameter));
    return 0;
}

TEST_F(ThreadsTest, ClosingTheHandleDoesNotStopTheThread) {
    HANDLE ran = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, SignalAndEnd, ran, 0, NULL);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(ran, INFINITE), WAIT_OBJECT_0);
    CloseHandle(ran);
}

TEST_F(ThreadsTest, EveryThreadHasItsOwnStableNonZeroId) {
    std::vector<DWORD> ids(4);
    std::vector<std::thread> threads;
    for (DWORD& id : ids)
        threads.emplace_back([&id] {
            id = GetCurrentThreadId();
            EXPECT_EQ(GetCurrentThreadId(), id);
        });
    for (std::thread& t : threads)
        t.join();
    ids.push_back(GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), ids.back());
    std::set<DWORD> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size());
    EXPECT_EQ(distinct.count(0), 0u);
}

std::atomic<int> g_unexpectedRuns{0};
DWORD WINAPI MustNotRun(LPVOID) {
    ++g_unexpectedRuns;
    return 0;
}

TEST_F(ThreadsTest, RequestsTheHostCannotHonourCreateNoThread) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    struct Case {
        const char* name;
        LPSECURITY_ATTRIBUTES attributes;
        SIZE_T stackSize;
        DWORD flags;
        LPTHREAD_START_ROUTINE start;
        DWORD error;
    } cases[] = {
        {"stack size", NULL, 64 * 1024, 0, MustNotRun, ERROR_NOT_SUPPORTED},
        {"suspended", NULL, 0, CREATE_SUSPENDED, MustNotRun, ERROR_NOT_SUPPORTED},
        {"inheritable handle", &inheritable, 0, 0, MustNotRun, ERROR_NOT_SUPPORTED},
        {"no start routine", NULL, 0, 0, NULL, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD id = 0xDEAD;
        SetLastError(0);
        EXPECT_EQ(CreateThread(c.attributes, c.stackSize, c.start, NULL, c.flags, &id), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(id, 0xDEADu) << "no id for a thread that does not exist";
    }
    EXPECT_EQ(g_unexpectedRuns.load(), 0);
}

// Each script step acts on one event: S set, R reset, + a zero wait that must succeed,
// - a zero wait that must time out.
TEST_F(ThreadsTest, EventsFollowTheirResetMode) {
    struct Case {
        const char* name;
        BOOL manual;
        BOOL initial;
        const char* script;
    } cases[] = {
        {"auto, signalled at creation", FALSE, TRUE, "+-"},
        {"auto, one wait per signal", FALSE, FALSE, "-S+-S+-"},
        {"auto, signals do not add up", FALSE, FALSE, "SS+-"},
        {"auto, reset drops the signal", FALSE, FALSE, "SR-"},
        {"manual, stays signalled", TRUE, FALSE, "-S+++R-"},
        {"manual, signalled at creation", TRUE, TRUE, "++R-S+"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventW(NULL, c.manual, c.initial, NULL);
        ASSERT_NE(event, nullptr);
        for (const char* step = c.script; *step; ++step) {
            SCOPED_TRACE(std::string("at step ") + std::to_string(step - c.script));
            switch (*step) {
            case 'S':
                EXPECT_TRUE(SetEvent(event));
                break;
            case 'R':
                EXPECT_TRUE(ResetEvent(event));
                break;
            case '+':
                EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
                break;
            case '-':
                EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
                break;
            }
        }
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST_F(ThreadsTest, WaitTimesOutOnAnUnsignalledEventAndWakesOnAnotherThreadsSignal) {
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 15), static_cast<DWORD>(WAIT_TIMEOUT));

    DWORD woken = WAIT_FAILED;
    std::thread waiter([&] { woken = WaitForSingleObject(event, INFINITE); });
    EXPECT_TRUE(SetEvent(event));
    waiter.join();
    EXPECT_EQ(woken, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the woken waiter consumed the signal";
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(ThreadsTest, AutoResetSignalReleasesOneOfTwoWaiters) {
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE woke = CreateEventW(NULL, FALSE, FALSE, NULL);
    std::atomic<int> released{0};
    auto wait = [&] {
        WaitForSingleObject(event, INFINITE);
        ++released;
        SetEvent(woke);
    };
    std::thread first(wait), second(wait);
    SetEvent(event);
    ASSERT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 1);
    SetEvent(event);
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
    CloseHandle(event);
    CloseHandle(woke);
}

TEST_F(ThreadsTest, EventCallsRejectWhatIsNotAnEvent) {
    Gate gate;
    HANDLE thread = CreateThread(NULL, 0, RunUntilReleased, &gate, 0, NULL);
    ASSERT_NE(thread, nullptr);
    struct Case {
        const char* name;
        HANDLE handle;
    } cases[] = {{"null", NULL}, {"thread", thread}, {"made up", reinterpret_cast<HANDLE>(0x7FF0)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(c.handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(c.handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(gate.started, &code)) << "an event is not a thread";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    SetLastError(0);
    EXPECT_EQ(CreateEventW(NULL, TRUE, FALSE, u"Global\\shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    SetEvent(gate.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

} // namespace
