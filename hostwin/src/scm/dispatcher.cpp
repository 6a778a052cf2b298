// The service's own side of the service control manager: the control dispatcher that runs
// ServiceMain and delivers controls to the handler, and the status reports.
#include "base/core.h"
#include "base/threads.h"
#include "process/process.h"
#include "scm/control_channel.h"
#include "scm/scm_store.h"
#include "scm/service_ledger.h"
#include "scm/service_start.h"
#include "scm/store_changes.h"

#include <hostwin/owner.h>
#include <hostwin/text.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace hostwin {

namespace {

using scm::RunTransaction;
using scm::ServiceRow;
using scm::Transaction;

// The one status handle of this process's service; never closed, as on the platform.
const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5C5C0010);
// How long the dispatcher lets ServiceMain's thread finish after SERVICE_STOPPED.
constexpr auto kServiceMainEndWait = std::chrono::seconds(2);

// What this process knows of the service it runs.
struct ServiceProcess {
    std::mutex lock;
    std::u16string name;      // the service this process runs; empty for none
    bool dispatching = false; // StartServiceCtrlDispatcherW is running
    bool testOnly = false;    // acting as a service for a test: reports stay in-process
    LPHANDLER_FUNCTION handler = nullptr;
    int stoppedEvent = -1; // signalled by the SERVICE_STOPPED report
    std::vector<SERVICE_STATUS> reports;
    SERVICE_STATUS latest{0, SERVICE_START_PENDING, 0, 0, 0, 0, 0}; // the last accepted report
    std::function<void(const SERVICE_STATUS&)> observer;
};
ServiceProcess& Self() {
    static ServiceProcess* self = new ServiceProcess; // reports may come until the very end
    return *self;
}

// One control: checked against the service's latest report and delivered in one step on this
// (the dispatcher's) thread, so that of two stops the second meets STOP_PENDING or STOPPED and
// never reaches the handler; the answer goes back once the handler has returned.
void ServeControl(int connection, DWORD control) {
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS latest{};
    {
        ServiceProcess& self = Self();
        std::lock_guard<std::mutex> guard(self.lock);
        handler = self.handler;
        latest = self.latest;
    }
    scm::ControlReply reply;
    reply.error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (handler && (reply.error = scm::RefusedControl(latest, control)) == ERROR_SUCCESS) {
        LogCall("ServiceControlHandler", "control=%u", control);
        CallProgramCallback([&] { handler(control); });
    }
    scm::WriteControlReply(connection, reply);
}

// Whether the service's SERVICE_STOPPED report has signalled `event` (left signalled).
bool Stopped(int event) {
    pollfd watched{event, POLLIN, 0};
    return poll(&watched, 1, 0) > 0;
}

// ServiceMain on a thread of its own; the dispatcher waits a little for its end after the
// service stopped, so that a service that returns at once is not cut off mid-return.
class ServiceThread {
public:
    ServiceThread(LPSERVICE_MAIN_FUNCTIONW main, std::u16string name)
        : m_state(std::make_shared<State>()) {
        m_state->name = std::move(name);
        std::shared_ptr<State> state = m_state;
        m_thread = std::thread([main, state] {
            LPWSTR argv[] = {state->name.data(), nullptr};
            CallProgramCallback([&] { main(1, argv); });
            std::lock_guard<std::mutex> guard(state->lock);
            state->done = true;
            state->ended.notify_all();
        });
    }
    ~ServiceThread() {
        std::unique_lock<std::mutex> lock(m_state->lock);
        bool done =
            m_state->ended.wait_for(lock, kServiceMainEndWait, [this] { return m_state->done; });
        lock.unlock();
        if (done)
            m_thread.join();
        else
            m_thread.detach(); // still running after its stop; the process may end under it
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
        std::u16string name;
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

// Records one report in the service database; a stopped service marked for deletion goes.
void RecordReport(const std::u16string& name, const SERVICE_STATUS& status) {
    RunTransaction(true, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = t.FindByName(name);
        if (!row)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        const DWORD before = row->status.dwCurrentState;
        scm::ApplyReport(*row, status);
        t.Update(*row);
        t.AppendHistory(*row);
        if (status.dwCurrentState != before)
            scm::NoteStateEntered(*row, status.dwCurrentState);
        scm::Reconcile(t, *row);
        return ERROR_SUCCESS;
    });
}

DWORD MarkDispatcherReady(const std::u16string& name) {
    return RunTransaction(true, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = t.FindByName(name);
        if (!row || row->pid != getpid())
            return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        scm::MarkReady(*row);
        t.Update(*row);
        return ERROR_SUCCESS;
    });
}

// How often a running service checks that the database still names it.
constexpr DWORD kWatchdogMs = 30000;

// A service whose database or own record is gone can no longer be reached by any control, yet
// would keep its work going: it stops itself, through its own handler, as a stop control would.
void StopWhenForgotten(const std::u16string& name) {
    if (scm::RecordNamesProcess(name, getpid()).value_or(true))
        return;
    LPHANDLER_FUNCTION handler = nullptr;
    {
        ServiceProcess& self = Self();
        std::lock_guard<std::mutex> guard(self.lock);
        handler = self.handler;
    }
    if (handler) {
        LogCall("ServiceControlHandler", "control=%u", SERVICE_CONTROL_STOP);
        CallProgramCallback([&] { handler(SERVICE_CONTROL_STOP); });
    }
}

// The service this process was started as, from the manager's mark; checked against the
// database, so that a copied mark makes no process a service. The manager records the process
// just after it has started it: one that gets here first waits for that record (within the
// manager's own start time-out) rather than be refused as a stranger.
DWORD StartedAs(std::u16string& name, DWORD& type) {
    const char* mark = std::getenv(kServiceVariable);
    if (!mark || !*mark)
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    const WaitDeadline deadline = DeadlineAfter(scm::ServiceTimeout());
    scm::StoreChanges changes;
    for (;;) {
        bool recorded = true;
        DWORD error = RunTransaction(false, [&](Transaction& t) -> DWORD {
            std::optional<ServiceRow> row = t.FindByName(FromUtf8(mark));
            if (row && scm::StartStateOf(*row) == scm::StartState::Claimed) {
                recorded = false;
                return ERROR_SUCCESS;
            }
            if (!row || row->pid != getpid())
                return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
            name = row->name;
            type = row->type;
            return ERROR_SUCCESS;
        });
        if (error || recorded)
            return error;
        if (std::chrono::steady_clock::now() >= deadline.at)
            return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        changes.Wait(deadline.at);
    }
}

} // namespace

void ActAsServiceForTest(const std::u16string& serviceName) {
    ServiceProcess& self = Self();
    std::lock_guard<std::mutex> guard(self.lock);
    self.name = serviceName;
    self.testOnly = !serviceName.empty();
    self.handler = nullptr;
    self.reports.clear();
}

std::vector<SERVICE_STATUS> InProcessStatusReports() {
    ServiceProcess& self = Self();
    std::lock_guard<std::mutex> guard(self.lock);
    return self.reports;
}

void SetStatusReportObserver(std::function<void(const SERVICE_STATUS&)> observer) {
    ServiceProcess& self = Self();
    std::lock_guard<std::mutex> guard(self.lock);
    self.observer = std::move(observer);
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "%s", "");
    if (lpServiceStartTable == NULL || lpServiceStartTable[0].lpServiceName == NULL ||
        lpServiceStartTable[0].lpServiceProc == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::u16string name;
    DWORD type = 0;
    if (DWORD error = StartedAs(name, type))
        return FailWith(error, FALSE);
    // An own-process service runs the table's first entry, whatever its name.
    const SERVICE_TABLE_ENTRYW* entry = lpServiceStartTable;
    if ((type & SERVICE_WIN32_SHARE_PROCESS) != 0) {
        while (entry->lpServiceName && !SameNameIgnoringCase(entry->lpServiceName, name))
            ++entry;
        if (entry->lpServiceName == NULL || entry->lpServiceProc == NULL)
            return FailWith(ERROR_SERVICE_NOT_IN_EXE, FALSE);
    }

    ServiceProcess& self = Self();
    {
        std::lock_guard<std::mutex> guard(self.lock);
        if (self.dispatching)
            return FailWith(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
        self.dispatching = true;
    }
    scm::ControlListener listener;
    UniqueFd stopped(eventfd(0, EFD_CLOEXEC));
    if (!listener.Listen() || !stopped) {
        std::lock_guard<std::mutex> guard(self.lock);
        self.dispatching = false;
        return FailWith(ERROR_NO_SYSTEM_RESOURCES, FALSE);
    }
    {
        std::lock_guard<std::mutex> guard(self.lock);
        self.name = name;
        self.stoppedEvent = stopped.get();
    }
    {
        ServiceThread serviceMain(entry->lpServiceProc, name);
        MarkDispatcherReady(name);
        scm::PendingRequests requests;
        std::vector<pollfd> watched;
        // A service whose record is gone from the store ends itself within one watchdog period.
        const auto lookPeriod = std::chrono::milliseconds(ScaleMilliseconds(kWatchdogMs));
        auto nextLook = std::chrono::steady_clock::now() + lookPeriod;
        for (;;) {
            watched = {{listener.Fd(), POLLIN, 0}, {stopped.get(), POLLIN, 0}};
            // The poll wakes for the earliest request deadline or the next look at the record.
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextLook) {
                StopWhenForgotten(name);
                nextLook = now + lookPeriod;
            }
            const int untilLook = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextLook - now).count());
            int wait = requests.Watch(watched);
            if (wait < 0 || wait > untilLook)
                wait = untilLook;
            if (poll(watched.data(), watched.size(), wait) < 0)
                continue; // EINTR
            if (watched[1].revents)
                break;
            // Controls are taken in the order their requests became whole, one at a time.
            for (auto& [connection, request] : requests.Collect(watched, 2)) {
                ServeControl(connection.get(), request.control);
                if (Stopped(stopped.get()))
                    break;
            }
            if (watched[0].revents)
                requests.Add(listener.Accept());
        }
        // No control is taken any more while ServiceMain's thread finishes.
        listener.Close();
    }
    {
        std::lock_guard<std::mutex> guard(self.lock);
        self.stoppedEvent = -1;
        self.dispatching = false;
    }
    stopped.reset();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
    HOSTWIN_FAULT_POINT(static_cast<SERVICE_STATUS_HANDLE>(NULL));
    LogCall(__func__, "name=%s", ToUtf8(ToU16(lpServiceName)).c_str());
    if (lpServiceName == NULL || lpHandlerProc == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<SERVICE_STATUS_HANDLE>(NULL));
    ServiceProcess& self = Self();
    std::lock_guard<std::mutex> guard(self.lock);
    if ((!self.dispatching && !self.testOnly) || !SameNameIgnoringCase(lpServiceName, self.name))
        return FailWith(ERROR_SERVICE_NOT_IN_EXE, static_cast<SERVICE_STATUS_HANDLE>(NULL));
    self.handler = lpHandlerProc;
    return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (lpServiceStatus == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    const SERVICE_STATUS status = *lpServiceStatus;
    LogCall(__func__, "handle=%p state=%u accepted=0x%X exit=%u",
            static_cast<void*>(hServiceStatus), status.dwCurrentState, status.dwControlsAccepted,
            status.dwWin32ExitCode);
    ServiceProcess& self = Self();
    std::u16string name;
    bool testOnly = false;
    {
        std::lock_guard<std::mutex> guard(self.lock);
        // A status handle comes only from a handler registration in a service process.
        if (hServiceStatus != kStatusHandle || self.handler == nullptr)
            return FailWith(ERROR_INVALID_HANDLE, FALSE);
        name = self.name;
        testOnly = self.testOnly;
    }
    DWORD type = status.dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if ((type != SERVICE_WIN32_OWN_PROCESS && type != SERVICE_WIN32_SHARE_PROCESS) ||
        status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED)
        return FailWith(ERROR_INVALID_DATA, FALSE);

    // The dispatcher checks a control against its latest report: that report is taken before
    // the record says it, or a caller that read the record (RUNNING) could be refused a stop.
    {
        std::lock_guard<std::mutex> guard(self.lock);
        self.latest = status;
    }
    // A named point between the two, so that tests can hold a caller in that window.
    HOSTWIN_FAULT_POINT_NAME(kRecordStatusPoint, "RecordServiceStatus");
    InjectedFault(kRecordStatusPoint);
    if (!testOnly)
        RecordReport(name, status);
    std::function<void(const SERVICE_STATUS&)> observer;
    {
        std::lock_guard<std::mutex> guard(self.lock);
        if (testOnly)
            self.reports.push_back(status);
        observer = self.observer;
        // The dispatcher returns once the service has stopped.
        if (status.dwCurrentState == SERVICE_STOPPED && self.stoppedEvent >= 0) {
            uint64_t one = 1;
            ssize_t ignored = write(self.stoppedEvent, &one, sizeof one);
            (void)ignored;
        }
    }
    if (observer)
        observer(status);
    return TRUE;
}

} // extern "C"
