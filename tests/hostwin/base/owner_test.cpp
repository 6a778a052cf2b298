// The host-only owners: closing a descriptor or a stdio file keeps errno, and a written file's
// close reports the data that never reached it.
#include <hostwin/owner.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

namespace {

TEST(HostOwnerTest, ClosingKeepsErrnoEvenWhenTheCloseFails) {
    errno = ENOENT;
    { hostwin::UniqueFd unopened(1 << 20); } // no such descriptor: the close fails
    EXPECT_EQ(errno, ENOENT);
    {
        hostwin::UniqueFile full(std::fopen("/dev/full", "w"));
        ASSERT_TRUE(full);
        std::fputs("lost", full.get()); // buffered: it fails at the close
        errno = ENOENT;
    }
    EXPECT_EQ(errno, ENOENT);
}

TEST(HostOwnerTest, AWrittenFilesCloseTellsWhetherTheDataArrived) {
    hostwin::UniqueFile full(std::fopen("/dev/full", "w"));
    ASSERT_TRUE(full);
    std::fputs("lost", full.get());
    errno = 0;
    EXPECT_FALSE(hostwin::CloseWrittenFile(full));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(full) << "closed either way";
    EXPECT_FALSE(hostwin::CloseWrittenFile(full)) << "nothing held";

    hostwin::UniqueFile null(std::fopen("/dev/null", "w"));
    ASSERT_TRUE(null);
    std::fputs("kept", null.get());
    EXPECT_TRUE(hostwin::CloseWrittenFile(null));
}

} // namespace
