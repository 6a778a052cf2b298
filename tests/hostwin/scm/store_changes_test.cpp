// The change mark waiters sleep on: a transaction that changed a row rewrites it once committed;
// one that changed nothing leaves it alone, so that a waiter's own re-read never wakes it again.
#include "machine.h"

#include "machine/machine_layout.h"
#include "scm/scm_store.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <functional>

namespace {

using namespace hostwin::scm;
using hostwin::UniqueFd;

class StoreChangesTest : public testing_support::MachineTest {};

// Whether the watch has an event queued now; takes them all.
bool Woken(const UniqueFd& watch) {
    pollfd ready{watch.get(), POLLIN, 0};
    if (poll(&ready, 1, 0) != 1)
        return false;
    alignas(inotify_event) char events[4096];
    while (read(watch.get(), events, sizeof events) > 0) {
    }
    return true;
}

TEST_F(StoreChangesTest, OnlyACommittedChangeRewritesTheMark) {
    int64_t id = 0;
    struct Case {
        const char* what;
        bool write;
        std::function<void(Transaction&)> body;
        bool wakes;
    } cases[] = {
        {"insert", true,
         [&](Transaction& t) {
             ServiceRow row;
             row.name = row.displayName = u"watched";
             row.binaryPath = u"w.exe";
             id = t.Insert(row);
         },
         true},
        {"read", false, [&](Transaction& t) { t.FindById(id); }, false},
        {"write that changed nothing", true, [&](Transaction& t) { t.FindById(id); }, false},
        {"update", true,
         [&](Transaction& t) {
             ServiceRow row = *t.FindById(id);
             row.status.dwCurrentState = SERVICE_RUNNING;
             t.Update(row);
         },
         true},
        {"delete", true, [&](Transaction& t) { t.Delete(id); }, true},
    };
    // The store and its mark exist once a first transaction opened them.
    ASSERT_EQ(RunTransaction(true,
                             [](Transaction& t) -> DWORD {
                                 t.All();
                                 return ERROR_SUCCESS;
                             }),
              static_cast<DWORD>(ERROR_SUCCESS));
    UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(watch.get(), hostwin::layout::ScmChangeMark().c_str(), IN_MODIFY),
              0);
    for (const Case& c : cases) {
        ASSERT_EQ(RunTransaction(c.write,
                                 [&](Transaction& t) -> DWORD {
                                     c.body(t);
                                     return ERROR_SUCCESS;
                                 }),
                  static_cast<DWORD>(ERROR_SUCCESS))
            << c.what;
        EXPECT_EQ(Woken(watch), c.wakes) << c.what;
    }
}

} // namespace
