// File attributes through the machine's paths: what a file, a read-only file and a folder
// answer, and the two "not found" codes Windows tells apart.
#include "machine.h"

#include <windows.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace {

class FilesTest : public testing_support::MachineTest {};

TEST_F(FilesTest, AttributesAndTheErrorsOfAPathThatIsNotThere) {
    std::filesystem::create_directories(RootPath("drive_c/folder"));
    testing_support::WriteFile(RootPath("drive_c/folder/file.dll"), "x");
    testing_support::WriteFile(RootPath("drive_c/folder/locked.dll"), "x");
    ASSERT_EQ(chmod(RootPath("drive_c/folder/locked.dll").c_str(), 0444), 0);
    struct Case {
        const char16_t* path;
        DWORD attributes;
        DWORD error;
    } cases[] = {
        {u"C:\\folder\\file.dll", FILE_ATTRIBUTE_ARCHIVE, 0},
        {u"C:\\folder\\locked.dll", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 0},
        {u"C:\\folder", FILE_ATTRIBUTE_DIRECTORY, 0},
        {u"C:\\folder\\", FILE_ATTRIBUTE_DIRECTORY, 0},
        {u"C:\\folder\\missing.dll", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
        {u"C:\\missing\\file.dll", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        // A file where a folder should be is a path that is not there.
        {u"C:\\folder\\file.dll\\inner", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {u"", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {nullptr, INVALID_FILE_ATTRIBUTES, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? hostwin::ToUtf8(c.path) : "(null)");
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(c.path), c.attributes);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

} // namespace
