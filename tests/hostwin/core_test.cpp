// Handle table, last error and fault injection: the plumbing every other test relies on.
#include "machine.h"

#include <windows.h>

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

} // namespace
