// Handle table, last error and fault injection: the plumbing every other test relies on.
#include "machine.h"

#include <windows.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <new>
#include <stdexcept>
#include <thread>

using testing_support::MachineTest;

namespace {

class CoreTest : public MachineTest {};

TEST_F(CoreTest, LastErrorIsPerThread) {
    SetLastError(42);
    DWORD other = 0;
    std::thread([&] {
        SetLastError(7);
        other = GetLastError();
    }).join();
    EXPECT_EQ(other, 7u);
    EXPECT_EQ(GetLastError(), 42u);
}

TEST_F(CoreTest, ClosingAnUnknownOrClosedHandleFails) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CoreTest, InjectedFaultHitsOnlyTheNthCallCountedFromInjection) {
    CloseHandle(nullptr); // calls before the injection do not count
    hostwin::InjectFault("CloseHandle", 2, ERROR_NO_SYSTEM_RESOURCES);
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CoreTest, InjectedThrowRaisesBadAllocOnTheNthCallOnly) {
    hostwin::InjectThrow("CloseHandle", 2);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    hostwin::InjectThrow("CloseHandle", 0);
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    hostwin::InjectFault("CloseHandle", 0, 5); // a code in its place stops the throwing
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(CoreTest, FaultOnEveryCallUntilCleared) {
    hostwin::InjectFault("CloseHandle", 0, 5);
    for (int i = 0; i < 3; ++i) {
        CloseHandle(nullptr);
        EXPECT_EQ(GetLastError(), 5u);
    }
    hostwin::ClearFaults();
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Faults set from the environment reach a program before its first call: tasklist takes one
// snapshot, so only a fault on the first call (or on every call) makes it fail.
TEST_F(CoreTest, EnvironmentFaultsHitTheNamedCall) {
    struct Case {
        const char* faults;
        int exitStatus;
    } cases[] = {
        {"CreateToolhelp32Snapshot@1=8", 8},
        {"CreateToolhelp32Snapshot@2=8", 0},
        {"CreateToolhelp32Snapshot@*=31", 31},
        {"Sleep@1=5,CreateToolhelp32Snapshot@1=0x1F", 31},
        {"malformed", 0},
        // The tool catches nothing, so the throw ends it through std::terminate (abort).
        {"CreateToolhelp32Snapshot@1=throw", -1},
        {"CreateToolhelp32Snapshot@2=throw", 0},
    };
    for (const Case& c : cases) {
        testing_support::ProgramResult result = testing_support::RunProgram(
            {TASKLIST_EXE}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_FAULTS", c.faults}});
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.faults << "\n" << result.err;
    }
}

// Windows cannot unwind a C++ exception out of a callback through its own frames: the process
// ends through std::terminate. The host must end the same way, never unwind into the caller.
void CALLBACK ThrowingTimerCallback(HWND, UINT, UINT_PTR, DWORD) {
    throw std::runtime_error("timer callback");
}
DWORD WINAPI ThrowingThreadProc(LPVOID) {
    throw std::runtime_error("thread procedure");
}

TEST_F(CoreTest, AnExceptionEscapingAProgramCallbackEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* callback;
        void (*run)();
    } cases[] = {
        {"timer callback",
         [] {
             SetTimer(NULL, 0, 10, ThrowingTimerCallback);
             MSG msg{};
             GetMessageW(&msg, NULL, 0, 0);
             DispatchMessageW(&msg);
         }},
        {"thread procedure",
         [] {
             HANDLE thread = CreateThread(NULL, 0, ThrowingThreadProc, NULL, 0, NULL);
             WaitForSingleObject(thread, INFINITE);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.callback);
        // Exit 3: the exception reached the caller; exit 0: the callback never ran.
        EXPECT_EXIT(
            {
                try {
                    c.run();
                } catch (...) {
                    _exit(3);
                }
                _exit(0);
            },
            ::testing::KilledBySignal(SIGABRT), "");
    }
}

// The sample agent sleeps a second between heartbeats; scaled a thousandfold down, twenty
// heartbeats come in well under the deadline, which unscaled sleeps could never meet.
TEST_F(CoreTest, TimeScaleShortensEverySleep) {
    const std::string agent = RootPath("drive_c/pellard/bin/pellard.exe");
    testing_support::WriteFile(agent, testing_support::ReadFile(PELLARD_EXE));
    chmod(agent.c_str(), 0755);
    int pid = testing_support::SpawnProgram(
        {agent}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_TIME_SCALE", "0.001"}});
    ASSERT_GT(pid, 0);
    const std::string log = RootPath("drive_c/pellard/bin/pellard.log");
    auto heartbeats = [&] {
        std::string text = testing_support::ReadFile(log);
        size_t count = 0;
        for (size_t at = text.find("heartbeat"); at != std::string::npos;
             at = text.find("heartbeat", at + 1))
            ++count;
        return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (heartbeats() < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(heartbeats(), 20u);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace
