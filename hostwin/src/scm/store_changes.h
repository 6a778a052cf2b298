// Waiting for the service database to change, without polling it: every transaction that changed
// a row rewrites the machine's change mark once committed (layout::ScmChangeMark), and a waiter
// watches that file with inotify. A waiter re-reads what it waits for on every wake; a wake may
// be spurious, and a missed one (the mark replaced, no inotify) costs one fallback period.
#pragma once

#include <hostwin/owner.h>

#include <chrono>

namespace hostwin::scm {

// Tells this machine's waiters that a change was committed; `mark` is the writer's open mark.
void AnnounceChange(const UniqueFd& mark);
// The mark of the current machine, open for AnnounceChange, created when missing.
UniqueFd OpenChangeMark();

class StoreChanges {
public:
    // Watches from here on: a change committed after this returns wakes the next Wait.
    StoreChanges();

    // Returns once a change was committed since the last return (or construction), at `until`,
    // or after the fallback period, whichever comes first.
    void Wait(std::chrono::steady_clock::time_point until);

private:
    UniqueFd m_watch;
};

} // namespace hostwin::scm
