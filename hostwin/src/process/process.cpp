// Processes: real Linux processes behind Windows process handles. Every handle holds a pidfd,
// so it can never reach a process that merely reuses the pid. Children started here are reaped
// by one thread that watches their pidfds (never waitpid(-1), which would steal the exits of
// processes started by other code), so a dead child does not linger as a zombie.
#include "base/core.h"
#include "process/process.h"
#include "process/procfs.h"
#include "process/spawn.h"
#include "machine/exit_records.h"

#include <hostwin/owner.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace hostwin {

namespace {

constexpr DWORD kProcessAllAccess = 0x001FFFFF;
constexpr DWORD kQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kSupportedOpenAccess = PROCESS_TERMINATE | SYNCHRONIZE | kQueryAccess;
constexpr DWORD kSupportedCreationFlags =
    CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;
// waitid's id type for a pidfd; the C library's headers do not name it yet.
constexpr idtype_t kWaitPidfd = static_cast<idtype_t>(3);

// Straight system calls: the C library's pidfd wrappers are missing or unusable from C++ in
// the versions we meet.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}
// Signal 0 only asks whether the process may be signalled and is not reaped yet.
int PidfdSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

enum class Readiness { Ready, TimedOut, Failed };

// Waits until `fd` is readable or `milliseconds` (already scaled) pass; poll takes an int. A
// poll that fails other than by a signal fails the wait (last error set), so an INFINITE wait
// never passes for a time-out. "poll" is a fault point of its own for that path.
HOSTWIN_FAULT_POINT_NAME(kPollFaultPoint, "poll");
Readiness PollReadable(int fd, DWORD milliseconds) {
    if (DWORD fault = InjectedFault(kPollFaultPoint))
        return FailWith(fault, Readiness::Failed);
    using Clock = std::chrono::steady_clock;
    const bool infinite = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (!infinite) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        }
        pollfd watched{fd, POLLIN, 0};
        int ready = poll(&watched, 1, timeout);
        if (ready > 0)
            return Readiness::Ready;
        if (ready < 0 && errno != EINTR)
            return FailWith(errno == ENOMEM ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)
                                            : static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                            Readiness::Failed);
        if (ready == 0 && !infinite && Clock::now() >= deadline)
            return Readiness::TimedOut;
    }
}

DWORD WaitResult(Readiness readiness) {
    switch (readiness) {
    case Readiness::Ready:
        return WAIT_OBJECT_0;
    case Readiness::TimedOut:
        return WAIT_TIMEOUT;
    case Readiness::Failed:
        break;
    }
    return WAIT_FAILED;
}

// One process as far as this process knows it. Shared by all handles to it and, for a child,
// by the reaper until the child is reaped.
class ProcessState {
public:
    ProcessState(pid_t pid, int pidfd, unsigned long long startTime, bool child)
        : m_pid(pid), m_pidfd(pidfd), m_startTime(startTime), m_child(child) {}
    ProcessState(const ProcessState&) = delete;
    ProcessState& operator=(const ProcessState&) = delete;

    pid_t Pid() const { return m_pid; }
    int Pidfd() const { return m_pidfd.get(); }
    unsigned long long StartTime() const { return m_startTime; }
    bool IsChild() const { return m_child; }

    // Handles (of the process or its primary thread) open in this process: while one is, an
    // ended process can still be opened by its pid, as on Windows; the reaper's hold does not
    // count.
    void AddHandle() { ++m_handles; }
    void ReleaseHandle() { --m_handles; }
    bool HasHandles() const { return m_handles > 0; }

    // A pidfd turns readable once the process has ended, whether or not it was reaped.
    bool HasEnded() const { return PollReadable(m_pidfd.get(), 0) == Readiness::Ready; }

    // Collects the exit of an ended child and keeps it for later queries; false while the
    // child runs. Called by the reaper and by queries that come first.
    bool Reap() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_reaped)
            return true;
        siginfo_t info{};
        if (waitid(kWaitPidfd, static_cast<id_t>(m_pidfd.get()), &info, WEXITED | WNOHANG) != 0) {
            if (errno != ECHILD)
                return false;
            m_reaped = true; // reaped behind our back: the status is lost
            return true;
        }
        if (info.si_pid == 0)
            return false;
        m_reaped = true;
        m_statusKnown = true;
        m_status = info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0) : info.si_status;
        return true;
    }

    bool Reaped() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_reaped;
    }

    bool KnownStatus(int& status) {
        std::lock_guard<std::mutex> guard(m_lock);
        status = m_status;
        return m_statusKnown;
    }

private:
    const pid_t m_pid;
    const UniqueFd m_pidfd;
    const unsigned long long m_startTime;
    const bool m_child;
    std::atomic<unsigned> m_handles{0};
    std::mutex m_lock;
    bool m_reaped = false;
    bool m_statusKnown = false;
    int m_status = 0;
};

// The children this process started and has not reaped yet, and the thread that reaps them.
class Reaper {
public:
    void Add(std::shared_ptr<ProcessState> child) {
        std::call_once(m_started, [this] { Start(); });
        std::lock_guard<std::mutex> guard(m_lock);
        m_children.push_back(std::move(child));
        if (m_wake) {
            uint64_t one = 1;
            ssize_t ignored = write(m_wake.get(), &one, sizeof one);
            (void)ignored;
        }
    }

    std::shared_ptr<ProcessState> Find(pid_t pid) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& child : m_children)
            if (child->Pid() == pid && !child->Reaped())
                return child;
        return nullptr;
    }

private:
    void Start() {
        m_wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!m_wake)
            return; // without the thread, children are reaped when queried
        try {
            std::thread([this] { Run(); }).detach();
        } catch (const std::system_error&) {
            m_wake.reset();
        }
    }

    void Run() {
        for (;;) {
            std::vector<std::shared_ptr<ProcessState>> watched;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                watched = m_children;
            }
            std::vector<pollfd> fds{{m_wake.get(), POLLIN, 0}};
            for (const auto& child : watched)
                fds.push_back({child->Pidfd(), POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0)
                continue; // EINTR, or ENOMEM that the next round may not meet
            if (fds[0].revents) {
                uint64_t count = 0;
                ssize_t ignored = read(m_wake.get(), &count, sizeof count);
                (void)ignored;
            }
            bool reapedAny = false;
            for (size_t i = 0; i < watched.size(); ++i)
                if (fds[i + 1].revents && watched[i]->Reap())
                    reapedAny = true;
            if (reapedAny) {
                std::lock_guard<std::mutex> guard(m_lock);
                m_children.erase(std::remove_if(m_children.begin(), m_children.end(),
                                                [](const auto& child) { return child->Reaped(); }),
                                 m_children.end());
            }
        }
    }

    std::once_flag m_started;
    std::mutex m_lock;
    std::vector<std::shared_ptr<ProcessState>> m_children;
    UniqueFd m_wake;
};

Reaper& Children() {
    static Reaper* reaper = new Reaper; // its thread outlives every static destructor
    return *reaper;
}

// Wait status of a process that ended, as a Windows exit code: the exit status, or 128 plus
// the signal for a process that a signal ended.
DWORD ExitCodeFromWaitStatus(int status) {
    if (WIFEXITED(status))
        return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return static_cast<DWORD>(128 + WTERMSIG(status));
    return static_cast<DWORD>(status);
}

// The exit code of an ended process: the code it was terminated with, else its own status.
bool EndedProcessExitCode(ProcessState& process, DWORD& code) {
    if (exit_records::Read(process.Pid(), process.StartTime(), code))
        return true;
    int status = 0;
    if (process.IsChild()) {
        process.Reap();
        if (!process.KnownStatus(status))
            return false;
        code = ExitCodeFromWaitStatus(status);
        return true;
    }
    // Another process's child: its status can be read only while it waits to be reaped.
    ProcStat stat;
    if (ReadProcStat(process.Pid(), stat) && stat.startTime == process.StartTime() &&
        stat.state == 'Z') {
        code = ExitCodeFromWaitStatus(stat.exitStatus);
        return true;
    }
    return false;
}

// The processes some handle of this process still refers to, by pid: on Windows a process
// object lives while a handle to it is open, so it can be opened again after it has ended.
class HeldProcesses {
public:
    void Add(const std::shared_ptr<ProcessState>& state) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_states.erase(std::remove_if(m_states.begin(), m_states.end(),
                                      [](const auto& held) { return held.expired(); }),
                       m_states.end());
        m_states.push_back(state);
    }
    std::shared_ptr<ProcessState> Find(pid_t pid) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& held : m_states)
            if (auto state = held.lock(); state && state->Pid() == pid && state->HasHandles())
                return state;
        return nullptr;
    }

private:
    std::mutex m_lock;
    std::vector<std::weak_ptr<ProcessState>> m_states;
};

HeldProcesses& Held() {
    static HeldProcesses* held = new HeldProcesses; // used until the process ends
    return *held;
}

class ProcessObject : public KernelObject {
public:
    ProcessObject(std::shared_ptr<ProcessState> state, DWORD access)
        : KernelObject(HandleKind::Process), m_state(std::move(state)), m_access(access) {
        m_state->AddHandle();
        Held().Add(m_state);
    }
    ~ProcessObject() override { m_state->ReleaseHandle(); }

    ProcessState& State() const { return *m_state; }
    bool Allows(DWORD access) const { return (m_access & access) != 0; }

    DWORD Wait(DWORD milliseconds) override {
        if (!Allows(SYNCHRONIZE))
            return FailWith(ERROR_ACCESS_DENIED, static_cast<DWORD>(WAIT_FAILED));
        return WaitResult(PollReadable(m_state->Pidfd(), ScaleMilliseconds(milliseconds)));
    }

private:
    std::shared_ptr<ProcessState> m_state;
    const DWORD m_access;
};

// The primary thread of a child: it lives in the child, so all it offers is a wait that ends
// when the child ends.
class ChildThreadObject : public KernelObject {
public:
    explicit ChildThreadObject(std::shared_ptr<ProcessState> state)
        : KernelObject(HandleKind::Thread), m_state(std::move(state)) {
        m_state->AddHandle();
    }
    ~ChildThreadObject() override { m_state->ReleaseHandle(); }

    DWORD Wait(DWORD milliseconds) override {
        return WaitResult(PollReadable(m_state->Pidfd(), ScaleMilliseconds(milliseconds)));
    }

private:
    std::shared_ptr<ProcessState> m_state;
};

std::shared_ptr<ProcessObject> LookupProcess(HANDLE handle) {
    return std::dynamic_pointer_cast<ProcessObject>(LookupHandle(handle, HandleKind::Process));
}

// posix_spawn returns once the child's exec has begun, but the kernel fills in the new
// program's environment a moment later; until then the child cannot be told to be of this
// machine. Waits for that moment, so that a snapshot taken next lists the child.
void AwaitExecuted(pid_t pid, int pidfd) {
    const std::string path = "/proc/" + std::to_string(pid) + "/environ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        UniqueFile in(std::fopen(path.c_str(), "re"));
        const bool filled = in && std::fgetc(in.get()) != EOF;
        if (filled || !in || PollReadable(pidfd, 0) != Readiness::TimedOut ||
            std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::yield();
    }
}

// Own start time, for the exit record of a process that terminates itself.
unsigned long long OwnStartTime() {
    ProcStat stat;
    return ReadProcStat(getpid(), stat) ? stat.startTime : 0;
}

} // namespace

DWORD StartProcess(LPCWSTR applicationName, const std::u16string& commandLine,
                   const std::vector<std::string>& extraEnvironment, bool detached,
                   PROCESS_INFORMATION& started) {
    pid_t pid = -1;
    if (DWORD error = SpawnProcess(applicationName, commandLine, extraEnvironment, detached, pid))
        return error;
    int pidfd = PidfdOpen(pid);
    if (pidfd < 0) {
        // Still our unreaped child, so its pid cannot have been reused yet.
        int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return SpawnErrorFromErrno(error);
    }
    AwaitExecuted(pid, pidfd);
    ProcStat stat;
    ReadProcStat(pid, stat);
    auto state = std::make_shared<ProcessState>(pid, pidfd, stat.startTime, true);
    Children().Add(state);

    started.hProcess = InsertHandle(std::make_shared<ProcessObject>(state, kProcessAllAccess));
    started.hThread = InsertHandle(std::make_shared<ChildThreadObject>(state));
    started.dwProcessId = static_cast<DWORD>(pid);
    // The primary thread's Linux thread id is the process id.
    started.dwThreadId = static_cast<DWORD>(pid);
    return ERROR_SUCCESS;
}

void WriteProcessLedger(const std::string& fields) {
    const char* ledger = std::getenv("HOSTWIN_PROCESS_LEDGER");
    if (ledger && *ledger)
        AppendLine(ledger, fields + "\n");
}

void WriteKillToLedger(pid_t pid, DWORD code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    WriteProcessLedger("killed\t" + std::to_string(pid) + "\t" + hex + "\t" + ProgramImageName());
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "app=%s cmd=%s flags=0x%08X",
            lpApplicationName ? ToUtf8(lpApplicationName).c_str() : "(null)",
            lpCommandLine ? ToUtf8(lpCommandLine).c_str() : "(null)", dwCreationFlags);
    if (bInheritHandles)
        return NotSupported(__func__, "inherited handles", FALSE);
    if (dwCreationFlags & ~kSupportedCreationFlags)
        return NotSupported(__func__, "creation flags", FALSE);
    if (!PlainSecurityAttributes(lpProcessAttributes) ||
        !PlainSecurityAttributes(lpThreadAttributes))
        return NotSupported(__func__, "security attributes", FALSE);
    if (lpEnvironment != NULL)
        return NotSupported(__func__, "environment block", FALSE);
    if (lpCurrentDirectory != NULL)
        return NotSupported(__func__, "current directory", FALSE);
    if (lpStartupInfo == NULL || lpProcessInformation == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (lpStartupInfo->lpDesktop != NULL || lpStartupInfo->lpTitle != NULL ||
        lpStartupInfo->cbReserved2 != 0 || lpStartupInfo->lpReserved2 != NULL ||
        (lpStartupInfo->dwFlags & ~static_cast<DWORD>(STARTF_USESHOWWINDOW)) != 0)
        return NotSupported(__func__, "startup information", FALSE);
    if (lpApplicationName == NULL && lpCommandLine == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);

    // Without a command line the application name is the whole command line.
    if (DWORD error = StartProcess(lpApplicationName,
                                   ToU16(lpCommandLine ? lpCommandLine : lpApplicationName), {},
                                   false, *lpProcessInformation))
        return FailWith(error, FALSE);
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
    HOSTWIN_FAULT_POINT(static_cast<HANDLE>(NULL));
    LogCall(__func__, "pid=%u access=0x%08X", dwProcessId, dwDesiredAccess);
    if (bInheritHandle)
        return NotSupported(__func__, "inheritable handle", static_cast<HANDLE>(NULL));
    if (dwDesiredAccess & ~kSupportedOpenAccess)
        return NotSupported(__func__, "access rights", static_cast<HANDLE>(NULL));
    const pid_t pid = static_cast<pid_t>(dwProcessId);
    if (pid <= 0)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(NULL));

    // A process that has ended while a handle to it is open here can still be opened, unless
    // its pid now names a newer process.
    if (std::shared_ptr<ProcessState> held = Held().Find(pid); held && held->HasEnded()) {
        ProcStat stat;
        bool reused =
            ReadProcStat(pid, stat) && !HasEnded(stat) && stat.startTime != held->StartTime();
        if (!reused)
            return InsertHandle(std::make_shared<ProcessObject>(held, dwDesiredAccess));
    }
    std::shared_ptr<ProcessState> state = Children().Find(pid);
    if (!state) {
        int pidfd = PidfdOpen(pid);
        if (pidfd < 0)
            return FailWith(errno == EMFILE || errno == ENFILE
                                ? static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES)
                                : static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                            static_cast<HANDLE>(NULL));
        ProcStat stat;
        bool known = ReadProcStat(pid, stat);
        state = std::make_shared<ProcessState>(pid, pidfd, stat.startTime, false);
        if (!known)
            return FailWith(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(NULL));
    }
    // /proc is read after the pidfd was taken; a process still running afterwards is the one
    // the pidfd names, so what was read is its own.
    ProcStat stat;
    std::vector<std::string> environment;
    bool member = pid == getpid() ||
                  (ReadStartEnvironment(pid, environment) && OfThisMachine(pid, environment));
    if (!member || !ReadProcStat(pid, stat) || HasEnded(stat) ||
        stat.startTime != state->StartTime() || state->HasEnded())
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(NULL));
    return InsertHandle(std::make_shared<ProcessObject>(state, dwDesiredAccess));
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (hProcess == kCurrentProcess) {
        LogCall(__func__, "pid=%u code=%u", static_cast<unsigned>(getpid()), uExitCode);
        exit_records::Create(getpid(), OwnStartTime(), uExitCode);
        ExitProcess(uExitCode);
    }
    std::shared_ptr<ProcessObject> process = LookupProcess(hProcess);
    if (!process)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (!process->Allows(PROCESS_TERMINATE))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    ProcessState& state = process->State();
    LogCall(__func__, "pid=%u code=%u", static_cast<unsigned>(state.Pid()), uExitCode);
    // Ending a process that has already ended is refused, as on Windows.
    if (state.HasEnded())
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    // A process this one may not signal gets no record. A reaped one has ended: refused.
    if (PidfdSignal(state.Pidfd(), 0) != 0)
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    // The code is recorded before the kill, so that whoever sees the process gone finds it; the
    // first end's record stays, and the kill never depends on the record.
    const DWORD recorded = exit_records::Create(state.Pid(), state.StartTime(), uExitCode);
    // Reaped since the probe, it has ended; with the record written here it ended as ours.
    if (PidfdSignal(state.Pidfd(), SIGKILL) != 0 && (recorded != ERROR_SUCCESS || errno != ESRCH))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (recorded == ERROR_ALREADY_EXISTS)
        return TRUE; // an earlier end's code and its ledger line stand
    WriteKillToLedger(state.Pid(), uExitCode);
    // As on Windows the end is asynchronous: the call returns once it is under way, and the
    // process handle is signalled when the process has ended.
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (lpExitCode == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (hProcess == kCurrentProcess) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    std::shared_ptr<ProcessObject> process = LookupProcess(hProcess);
    if (!process)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (!process->Allows(kQueryAccess))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (!process->State().HasEnded()) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    DWORD code = 0;
    if (!EndedProcessExitCode(process->State(), code))
        return NotSupported(__func__, "exit status of a process another process reaped", FALSE);
    *lpExitCode = code;
    return TRUE;
}

DWORD WINAPI GetProcessId(HANDLE Process) {
    HOSTWIN_FAULT_POINT(0);
    if (Process == kCurrentProcess)
        return static_cast<DWORD>(getpid());
    std::shared_ptr<ProcessObject> process = LookupProcess(Process);
    if (!process)
        return FailWith(ERROR_INVALID_HANDLE, static_cast<DWORD>(0));
    if (!process->Allows(kQueryAccess))
        return FailWith(ERROR_ACCESS_DENIED, static_cast<DWORD>(0));
    return static_cast<DWORD>(process->State().Pid());
}

DWORD WINAPI GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

HANDLE WINAPI GetCurrentProcess() {
    return kCurrentProcess;
}

} // extern "C"
