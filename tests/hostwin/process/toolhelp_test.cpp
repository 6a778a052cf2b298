// Process snapshots as a walk: the record size, the end of the walk, rewinding, and what a
// snapshot cannot be taken of. Which processes a snapshot lists is in process_test.
#include "machine.h"

#include <hostwin/owner.h>

#include <windows.h>
#include <tlhelp32.h>

namespace {

class ToolhelpTest : public testing_support::MachineTest {};

TEST_F(ToolhelpTest, SnapshotWalkChecksTheRecordSizeEndsAndRewinds) {
    hostwin::UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    const DWORD record = sizeof(PROCESSENTRY32W);
    // Only this process is on the fresh machine: one entry, then the end; the next walk rewinds.
    for (DWORD size : {0u, record - 1, record, record + 16}) {
        alignas(PROCESSENTRY32W) unsigned char buffer[sizeof(PROCESSENTRY32W) + 16] = {};
        auto* entry = reinterpret_cast<PROCESSENTRY32W*>(buffer);
        entry->dwSize = size;
        const bool accepted = size >= record;
        SetLastError(0);
        EXPECT_EQ(Process32FirstW(snapshot.get(), entry) != FALSE, accepted) << size;
        EXPECT_EQ(GetLastError(), accepted ? 0u : ERROR_BAD_LENGTH) << size;
        EXPECT_EQ(entry->th32ProcessID, accepted ? GetCurrentProcessId() : 0u) << size;
        EXPECT_FALSE(Process32NextW(snapshot.get(), entry)) << size;
        EXPECT_EQ(GetLastError(), accepted ? ERROR_NO_MORE_FILES : ERROR_BAD_LENGTH) << size;
    }
    for (DWORD flags : {0x4u /* threads */, TH32CS_SNAPPROCESS | 0x8u /* and modules */}) {
        EXPECT_EQ(CreateToolhelp32Snapshot(flags, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    PROCESSENTRY32W entry = {sizeof entry};
    EXPECT_FALSE(Process32FirstW(reinterpret_cast<HANDLE>(0x1234), &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
