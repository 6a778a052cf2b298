// The handle owners: each kind closes through its own function, closing keeps the last error
// whatever the close did, and a move hands the handle over without closing it.
#include "machine.h"

#include "handleowner.h"

#include <tlhelp32.h>

namespace {

using hostwin::HandleKind;

class HandleOwnerTest : public testing_support::MachineTest {
protected:
    void TearDown() override {
        hostwin::ClearFaults();
        MachineTest::TearDown();
    }
};

// The first drop meets a failing close: the handle stays open and the caller's error stays.
// The second closes it, which only the kind's own close function can do.
template <class Owner>
void ExpectClosedKeepingLastError(typename Owner::Value value, const char* closeCall,
                                  HandleKind kind) {
    SCOPED_TRACE(closeCall);
    ASSERT_FALSE(value == Owner().get()) << "not opened";
    const size_t open = hostwin::OpenHandleCount(kind);
    hostwin::InjectFault(closeCall, 1, ERROR_INVALID_HANDLE);
    {
        Owner owner(value);
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(hostwin::OpenHandleCount(kind), open);
    {
        Owner owner(value);
        SetLastError(ERROR_PATH_NOT_FOUND);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(hostwin::OpenHandleCount(kind), open - 1);
}

TEST_F(HandleOwnerTest, EachKindClosesThroughItsOwnCallAndKeepsTheLastError) {
    ExpectClosedKeepingLastError<UniqueHandle>(CreateEventW(NULL, TRUE, FALSE, NULL), "CloseHandle",
                                               HandleKind::Event);
    ExpectClosedKeepingLastError<UniqueSnapshot>(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0),
                                                 "CloseHandle", HandleKind::Snapshot);
    ExpectClosedKeepingLastError<UniqueScHandle>(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT),
                                                 "CloseServiceHandle", HandleKind::ServiceManager);
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    ExpectClosedKeepingLastError<UniqueHkey>(key, "RegCloseKey", HandleKind::RegistryKey);
    ExpectClosedKeepingLastError<UniqueEventSource>(
        RegisterEventSourceW(NULL, u"ownertest"), "DeregisterEventSource", HandleKind::EventSource);
}

TEST_F(HandleOwnerTest, EachKindHoldsNothingOnItsOwnFailureValue) {
    EXPECT_FALSE(UniqueSnapshot(INVALID_HANDLE_VALUE)) << "a failed snapshot";
    EXPECT_FALSE(UniqueHandle(NULL));
    EXPECT_FALSE(UniqueScHandle(NULL));
}

TEST_F(HandleOwnerTest, AMoveHandsTheHandleOverAndClosesOnlyWhatWasReplaced) {
    const size_t open = hostwin::OpenHandleCount(HandleKind::Event);
    UniqueHandle first(CreateEventW(NULL, TRUE, FALSE, NULL));
    UniqueHandle second(CreateEventW(NULL, TRUE, FALSE, NULL));
    const HANDLE kept = second.get();
    first = std::move(second);
    EXPECT_EQ(hostwin::OpenHandleCount(HandleKind::Event), open + 1);
    EXPECT_FALSE(second);
    EXPECT_EQ(first.get(), kept);
    UniqueHandle third(std::move(first));
    EXPECT_EQ(third.get(), kept);
    EXPECT_EQ(hostwin::OpenHandleCount(HandleKind::Event), open + 1);
    third.reset();
    EXPECT_EQ(hostwin::OpenHandleCount(HandleKind::Event), open);
}

} // namespace
