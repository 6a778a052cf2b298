// The exit-record store on its own: what is written reads back, per process, and a record that
// cannot be written says why and leaves nothing behind.
#include "machine.h"

#include "machine/exit_records.h"

#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace records = hostwin::exit_records;

class ExitRecordsTest : public testing_support::MachineTest {};

TEST_F(ExitRecordsTest, RecordsReadBackPerProcessAndFailuresSayWhy) {
    DWORD code = 7;
    EXPECT_FALSE(records::Read(100, 5, code));
    EXPECT_EQ(code, 7u) << "untouched when there is no record";

    const struct {
        pid_t pid;
        unsigned long long start;
        DWORD code;
    } written[] = {{100, 5, 0}, {100, 6, 0xFFFFFFFF}, {101, 5, 0xC0DE}};
    for (const auto& w : written)
        ASSERT_EQ(records::Write(w.pid, w.start, w.code), 0u);
    for (const auto& w : written) {
        EXPECT_TRUE(records::Read(w.pid, w.start, code)) << w.pid << "-" << w.start;
        EXPECT_EQ(code, w.code) << "the same pid with another start time is another process";
    }
    records::Remove(100, 6);
    EXPECT_FALSE(records::Read(100, 6, code));
    EXPECT_TRUE(records::Read(100, 5, code));

    // A file where the folder belongs: nothing can be written, and nothing half is left.
    fs::remove_all(RootPath("processes/exit"));
    testing_support::WriteFile(RootPath("processes/exit"), "in the way");
    EXPECT_EQ(records::Write(102, 1, 3), static_cast<DWORD>(ERROR_CANTWRITE));
    EXPECT_FALSE(records::Read(102, 1, code));
    EXPECT_EQ(testing_support::ReadFile(RootPath("processes/exit")), "in the way");
}

} // namespace
