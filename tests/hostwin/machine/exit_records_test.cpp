// The exit-record store on its own: what is written reads back, per process; the first record
// of a process stays; a record that cannot be written says why and leaves nothing behind.
#include "machine.h"

#include "machine/exit_records.h"

#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace records = hostwin::exit_records;

class ExitRecordsTest : public testing_support::MachineTest {};

TEST_F(ExitRecordsTest, RecordsReadBackPerProcessTheFirstStaysAndFailuresSayWhy) {
    DWORD code = 7;
    EXPECT_FALSE(records::Read(100, 5, code));
    EXPECT_EQ(code, 7u) << "untouched when there is no record";

    const struct {
        pid_t pid;
        unsigned long long start;
        DWORD code;
    } written[] = {{100, 5, 0}, {100, 6, 0xFFFFFFFF}, {101, 5, 0xC0DE}};
    for (const auto& w : written)
        ASSERT_EQ(records::Create(w.pid, w.start, w.code), 0u);
    for (const auto& w : written) {
        // A later end of the same process neither replaces nor removes the first one's code.
        EXPECT_EQ(records::Create(w.pid, w.start, 42), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_TRUE(records::Read(w.pid, w.start, code)) << w.pid << "-" << w.start;
        EXPECT_EQ(code, w.code) << "the same pid with another start time is another process";
    }
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(RootPath("processes/exit")))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 3u) << "nothing but the records is left in the folder";

    // A file where the folder belongs: nothing can be written, and nothing half is left.
    fs::remove_all(RootPath("processes/exit"));
    testing_support::WriteFile(RootPath("processes/exit"), "in the way");
    EXPECT_EQ(records::Create(102, 1, 3), static_cast<DWORD>(ERROR_CANTWRITE));
    EXPECT_FALSE(records::Read(102, 1, code));
    EXPECT_EQ(testing_support::ReadFile(RootPath("processes/exit")), "in the way");
}

} // namespace
