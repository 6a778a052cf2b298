// The service database's change mark and the inotify watch on it.
#include "scm/store_changes.h"

#include "machine/machine_layout.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>

namespace hostwin::scm {

namespace {

// The safety net for a wake that never comes; the normal path wakes on the write itself.
constexpr auto kFallback = std::chrono::milliseconds(50);

} // namespace

void AnnounceChange(const UniqueFd& mark) {
    // Any write raises IN_MODIFY; one byte at the start keeps the file at one byte.
    if (mark)
        (void)!pwrite(mark.get(), "c", 1, 0);
}

UniqueFd OpenChangeMark() {
    return UniqueFd(open(layout::ScmChangeMark().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
}

StoreChanges::StoreChanges() : m_watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    // A machine whose mark no writer has made yet: made here, so that the watch has a file.
    UniqueFd mark(open(layout::ScmChangeMark().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    if (m_watch && inotify_add_watch(m_watch.get(), layout::ScmChangeMark().c_str(),
                                     IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF) < 0)
        m_watch.reset();
}

void StoreChanges::Wait(std::chrono::steady_clock::time_point until) {
    using namespace std::chrono;
    const auto left = std::clamp(until - steady_clock::now(), steady_clock::duration::zero(),
                                 duration_cast<steady_clock::duration>(kFallback));
    // Rounded up, so that a wait near the deadline does not spin on a zero time-out.
    const int timeout = static_cast<int>(ceil<milliseconds>(left).count());
    pollfd watch{m_watch ? m_watch.get() : -1, POLLIN, 0};
    if (poll(&watch, 1, timeout) <= 0)
        return;
    // Every queued event is taken: the caller re-reads after this, which covers all of them.
    alignas(inotify_event) char events[4096];
    while (read(m_watch.get(), events, sizeof events) > 0) {
    }
}

} // namespace hostwin::scm
