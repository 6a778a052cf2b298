// Processes of the host machine: starting real programs by their Windows paths, exit codes,
// access rights, reaping and the snapshots that list a machine.
#include "machine.h"

#include <hostwin/owner.h>

#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class ProcessTest : public testing_support::MachineTest {
protected:
    // Copies the sample agent to C:\<folder>\pellard.exe of this machine; returns its host path.
    std::string InstallAgent(const std::string& folder) {
        std::string path = RootPath("drive_c/" + folder + "/pellard.exe");
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(PELLARD_EXE, path, fs::copy_options::skip_existing); // it may be running
        return path;
    }
};

const WCHAR kAgent[] = u"C:\\pellard\\bin\\pellard.exe";

// Closes what CreateProcessW handed out, also when an assertion ends the test early.
struct Started {
    PROCESS_INFORMATION info = {};
    BOOL ok;
    Started(const WCHAR* application, const WCHAR* commandLine, DWORD flags = 0,
            BOOL inherit = FALSE, LPVOID environment = NULL, LPCWSTR folder = NULL) {
        STARTUPINFOW startup = {sizeof startup};
        std::u16string line = commandLine ? commandLine : u"";
        ok = CreateProcessW(application, commandLine ? line.data() : NULL, NULL, NULL, inherit,
                            flags, environment, folder, &startup, &info);
    }
    ~Started() {
        TerminateProcess(info.hProcess, 0);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
};

// The agent writes "pid N started: <command line>" as soon as it runs; returns the command
// line it logged, or "<none>" when no such line came in time.
std::string LoggedCommandLine(const std::string& logPath, DWORD pid) {
    const std::string marker = " pid " + std::to_string(pid) + " started: ";
    for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
        std::string log = ReadFile(logPath);
        size_t at = log.find(marker), end = log.find('\n', at);
        if (at != std::string::npos && end != std::string::npos)
            return log.substr(at + marker.size(), end - at - marker.size());
        std::this_thread::sleep_for(5ms);
    }
    return "<none>";
}

// The processes a snapshot lists, by pid; the walk must end with ERROR_NO_MORE_FILES.
std::map<DWORD, PROCESSENTRY32W> Snapshot() {
    std::map<DWORD, PROCESSENTRY32W> entries;
    hostwin::UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        entries[entry.th32ProcessID] = entry;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    return entries;
}

// A process started behind hostwin's back (as from a shell), ended and reaped by the test.
struct Foreign {
    int pid;
    Foreign(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
        : pid(testing_support::SpawnProgram(argv, env)) {
        // The spawn returns before the kernel shows the new program's environment.
        const auto deadline = Clock::now() + 10s;
        while (pid > 0 && ReadFile("/proc/" + std::to_string(pid) + "/environ").empty() &&
               Clock::now() < deadline)
            std::this_thread::yield();
    }
    ~Foreign() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST_F(ProcessTest, ChildGetsTheWindowsCommandLineAndNoInheritedDescriptor) {
    const std::string agent = InstallAgent("pellard/bin");
    InstallAgent("Program Files/tools");
    std::u16string throughZ = u"Z:" + hostwin::FromUtf8(agent);
    std::replace(throughZ.begin(), throughZ.end(), u'/', u'\\');
    // Reached through a symlinked root, the machine still gives its programs their C: drive.
    const std::string link = Root() + "/link";
    fs::create_directory_symlink(Root(), link);
    setenv("HOSTWIN_ROOT", link.c_str(), 1);
    // A descriptor without close-on-exec, as careless code elsewhere in a process leaves one.
    const std::string strayPath = RootPath("stray");
    const int stray = open(strayPath.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(stray, 3);
    struct Case {
        const WCHAR* application;
        const WCHAR* commandLine;
        std::string logged;
        std::string folder = "pellard/bin"; // of the agent, where it keeps its log
    } cases[] = {
        // No command line: the path is the whole line and the agent gets no arguments.
        {kAgent, NULL, "C:\\pellard\\bin\\pellard.exe"},
        {NULL, u"C:\\pellard\\bin\\pellard.exe a \"b c\"",
         "C:\\pellard\\bin\\pellard.exe a \"b c\""},
        // ".exe" is added to a module name without extension.
        {NULL, u"C:\\pellard\\bin\\pellard x\\\"y", "C:\\pellard\\bin\\pellard.exe \"x\\\"y\""},
        // The application name decides the module; the line's first token is only a name.
        {kAgent, u"whatever.exe -x", "C:\\pellard\\bin\\pellard.exe -x"},
        {NULL, u"\"C:\\Program Files\\tools\\pellard.exe\" /Service",
         "\"C:\\Program Files\\tools\\pellard.exe\" /Service", "Program Files/tools"},
        // Z:\ is the host's own root.
        {throughZ.c_str(), NULL, "C:\\pellard\\bin\\pellard.exe"},
    };
    for (const Case& c : cases) {
        Started child(c.application, c.commandLine);
        ASSERT_TRUE(child.ok) << GetLastError();
        const DWORD pid = child.info.dwProcessId;
        EXPECT_EQ(LoggedCommandLine(RootPath("drive_c/" + c.folder + "/pellard.log"), pid),
                  c.logged);
        // Children carry the root in its canonical form, whatever spelling reached it here.
        EXPECT_NE(ReadFile("/proc/" + std::to_string(pid) + "/environ")
                      .find(std::string("HOSTWIN_ROOT=") + fs::canonical(Root()).string() + '\0'),
                  std::string::npos);
        std::error_code ignored;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            EXPECT_NE(fs::read_symlink(fd.path(), ignored).string(), strayPath)
                << "descriptor " << fd.path().filename() << " leaked into " << c.logged;
    }
    close(stray);
    setenv("HOSTWIN_ROOT", Root().c_str(), 1);
}

TEST_F(ProcessTest, RefusesWhatItCannotStartOrDoesNotImplement) {
    InstallAgent("pellard/bin");
    WriteFile(RootPath("drive_c/empty/notes.exe"), "not a program");
    WriteFile(RootPath("drive_c/empty/garbage.exe"), "\x01\x02\x03 not an image");
    fs::permissions(RootPath("drive_c/empty/garbage.exe"), fs::perms::owner_all);
    char16_t environment[] = u"A=1\0";
    struct Case {
        const char* what;
        const WCHAR* application;
        const WCHAR* commandLine;
        DWORD error;
        DWORD flags = 0;
        BOOL inherit = FALSE;
        LPVOID environment = NULL;
        LPCWSTR folder = NULL;
    } cases[] = {
        {"missing file", u"C:\\empty\\pellard.exe", NULL, ERROR_FILE_NOT_FOUND},
        {"missing folder", u"C:\\nowhere\\pellard.exe", NULL, ERROR_PATH_NOT_FOUND},
        {"missing module on the line", NULL, u"C:\\empty\\gone arg", ERROR_FILE_NOT_FOUND},
        {"folder", u"C:\\empty", NULL, ERROR_ACCESS_DENIED},
        {"not executable", u"C:\\empty\\notes.exe", NULL, ERROR_ACCESS_DENIED},
        {"not an image", u"C:\\empty\\garbage.exe", NULL, ERROR_BAD_EXE_FORMAT},
        {"nothing to start", NULL, NULL, ERROR_INVALID_PARAMETER},
        // Parameters the host does not implement fail loudly instead of being ignored.
        {"suspended start", kAgent, NULL, ERROR_NOT_SUPPORTED, CREATE_SUSPENDED},
        {"inherited handles", kAgent, NULL, ERROR_NOT_SUPPORTED, 0, TRUE},
        {"environment block", kAgent, NULL, ERROR_NOT_SUPPORTED, CREATE_UNICODE_ENVIRONMENT, FALSE,
         environment},
        {"current folder", kAgent, NULL, ERROR_NOT_SUPPORTED, 0, FALSE, NULL, u"C:\\"},
    };
    for (const Case& c : cases) {
        Started child(c.application, c.commandLine, c.flags, c.inherit, c.environment, c.folder);
        EXPECT_FALSE(child.ok) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(child.info.hProcess, nullptr) << c.what;
    }
    EXPECT_EQ(Snapshot().size(), 1u) << "only this test process runs on the machine";
}

TEST_F(ProcessTest, ExitCodeIsTheProgramsStatusOrTheCodeAnotherProcessGave) {
    struct Case {
        const char* script;
        DWORD code;
    } cases[] = {
        {"exit 7", 7},
        {"exit 300", 300 & 0xFF},         // a Linux status keeps the low byte only
        {"kill -TERM $$", 128 + SIGTERM}, // ended by a signal that hostwin did not send
    };
    DWORD code = 0;
    for (const Case& c : cases) {
        std::u16string line = u"sh -c \"" + hostwin::FromUtf8(c.script) + u"\"";
        Started child(u"Z:\\bin\\sh", line.c_str());
        ASSERT_TRUE(child.ok) << GetLastError();
        EXPECT_EQ(WaitForSingleObject(child.info.hThread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(child.info.hProcess, INFINITE), WAIT_OBJECT_0);
        // Ending a process that has ended is refused and changes nothing.
        EXPECT_FALSE(TerminateProcess(child.info.hProcess, 99));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
        EXPECT_EQ(code, c.code) << c.script;
    }
    // taskkill ends its processes with code 1, while the wait status here only says "killed".
    InstallAgent("pellard/bin");
    Started killed(kAgent, NULL);
    ASSERT_TRUE(killed.ok);
    ASSERT_EQ(testing_support::RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"}).exitStatus,
              0);
    EXPECT_EQ(WaitForSingleObject(killed.info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(killed.info.hProcess, &code));
    EXPECT_EQ(code, 1u);
}

TEST_F(ProcessTest, HandlesAllowOnlyTheirRightsAndAllSeeTheCodeGivenToTerminate) {
    InstallAgent("pellard/bin");
    Started agent(kAgent, NULL);
    ASSERT_TRUE(agent.ok);
    const DWORD pid = agent.info.dwProcessId;
    hostwin::UniqueHandle observer(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    struct Case {
        DWORD access;
        bool wait, query, terminate;
    } cases[] = {
        {SYNCHRONIZE, true, false, false},
        {PROCESS_QUERY_LIMITED_INFORMATION, false, true, false},
        {PROCESS_QUERY_INFORMATION, false, true, false},
        {PROCESS_TERMINATE, false, false, true}, // last: it ends the agent
    };
    for (const Case& c : cases) {
        ASSERT_EQ(WaitForSingleObject(observer.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << "a handle without the right ended the process";
        hostwin::UniqueHandle process(OpenProcess(c.access, FALSE, pid));
        ASSERT_NE(process.get(), nullptr) << c.access;
        EXPECT_EQ(WaitForSingleObject(process.get(), 0),
                  c.wait ? static_cast<DWORD>(WAIT_TIMEOUT) : WAIT_FAILED)
            << c.access;
        DWORD code = 0;
        SetLastError(0);
        EXPECT_EQ(GetExitCodeProcess(process.get(), &code) != FALSE, c.query) << c.access;
        EXPECT_EQ(code, c.query ? static_cast<DWORD>(STILL_ACTIVE) : 0u) << c.access;
        EXPECT_EQ(GetProcessId(process.get()), c.query ? pid : 0u) << c.access;
        EXPECT_EQ(GetLastError(), c.query ? 0u : ERROR_ACCESS_DENIED) << c.access;
        SetLastError(0);
        EXPECT_EQ(TerminateProcess(process.get(), 0xC0DE) != FALSE, c.terminate) << c.access;
        EXPECT_EQ(GetLastError(), c.terminate ? 0u : ERROR_ACCESS_DENIED) << c.access;
    }
    EXPECT_EQ(WaitForSingleObject(observer.get(), INFINITE), WAIT_OBJECT_0);
    for (HANDLE handle : {agent.info.hProcess, observer.get()}) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(handle, &code));
        EXPECT_EQ(code, 0xC0DEu);
    }
}

TEST_F(ProcessTest, ListsOpensAndReapsOnlyTheLiveProcessesOfThisMachine) {
    const std::string agent = InstallAgent("pellard/bin");
    fs::create_directories(RootPath("drive_c/alias"));
    fs::create_symlink(agent, RootPath("drive_c/alias/Other.exe"));
    // Started behind hostwin's back: on another machine, and on this one as from a shell.
    Foreign elsewhere({agent}, {{"HOSTWIN_ROOT", Root() + "/another-root"}});
    Foreign unmarked({RootPath("drive_c/alias/Other.exe")}, {{"HOSTWIN_ROOT", Root()}});
    Started marked(u"C:\\alias\\Other.exe", NULL);
    Started ended(kAgent, NULL), gone(kAgent, NULL);
    ASSERT_TRUE(elsewhere.pid > 0 && unmarked.pid > 0 && marked.ok && ended.ok && gone.ok);
    // The end is asynchronous: the handle is signalled once the process has ended. An ended
    // process is never listed; it can be opened while a handle to it is open, as on Windows,
    // and not once the last one is closed.
    for (Started* started : {&ended, &gone}) {
        ASSERT_TRUE(TerminateProcess(started->info.hProcess, 0));
        ASSERT_EQ(WaitForSingleObject(started->info.hProcess, INFINITE), WAIT_OBJECT_0);
    }
    for (HANDLE* handle : {&gone.info.hProcess, &gone.info.hThread})
        CloseHandle(std::exchange(*handle, nullptr));

    std::map<DWORD, PROCESSENTRY32W> entries = Snapshot();
    const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
    const DWORD shell = static_cast<DWORD>(unmarked.pid);
    struct Case {
        const char* what;
        DWORD pid;
        const char* image; // nullptr: not listed
        DWORD error;       // of OpenProcess; 0: opens
        DWORD access = PROCESS_TERMINATE;
        BOOL inherit = FALSE;
    } cases[] = {
        // Listed under the file the link resolves to, as Windows lists it.
        {"started as Other.exe", marked.info.dwProcessId, "pellard.exe", 0},
        {"started from a shell", shell, "pellard.exe", 0},
        {"this process", GetCurrentProcessId(), self.c_str(), 0, SYNCHRONIZE},
        {"other machine", static_cast<DWORD>(elsewhere.pid), nullptr, ERROR_INVALID_PARAMETER},
        {"ended, a handle still open", ended.info.dwProcessId, nullptr, 0, SYNCHRONIZE},
        {"ended, no handle open", gone.info.dwProcessId, nullptr, ERROR_INVALID_PARAMETER},
        {"no process", 0, nullptr, ERROR_INVALID_PARAMETER},
        {"pid beyond any", 0x7FFFFFF0u, nullptr, ERROR_INVALID_PARAMETER},
        {"inheritable", shell, "pellard.exe", ERROR_NOT_SUPPORTED, SYNCHRONIZE, TRUE},
        {"unsupported right", shell, "pellard.exe", ERROR_NOT_SUPPORTED, 0x0010 /* read memory */},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        hostwin::UniqueHandle process(OpenProcess(c.access, c.inherit, c.pid));
        EXPECT_EQ(process.valid(), c.error == 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        if (process && c.access == SYNCHRONIZE) {
            EXPECT_EQ(WaitForSingleObject(process.get(), 0),
                      c.pid == ended.info.dwProcessId ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
                << c.what;
        }
        auto entry = entries.find(c.pid);
        ASSERT_EQ(entry != entries.end(), c.image != nullptr) << c.what;
        if (c.image) {
            EXPECT_EQ(hostwin::ToUtf8(entry->second.szExeFile), c.image) << c.what;
            EXPECT_GE(entry->second.cntThreads, 1u) << c.what;
        }
    }
    EXPECT_EQ(entries[marked.info.dwProcessId].th32ParentProcessID, GetCurrentProcessId());
    EXPECT_EQ(entries.size(), 3u);

    // hostwin reaps the children it started, and only those.
    const pid_t endedPid = static_cast<pid_t>(ended.info.dwProcessId);
    for (const auto deadline = Clock::now() + 10s;
         kill(endedPid, 0) == 0 && Clock::now() < deadline;)
        std::this_thread::sleep_for(2ms);
    EXPECT_NE(kill(endedPid, 0), 0) << "the ended child was never reaped";
    EXPECT_EQ(waitpid(elsewhere.pid, nullptr, WNOHANG), 0) << "the other machine's agent ended";
    kill(elsewhere.pid, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(elsewhere.pid, &status, 0), elsewhere.pid)
        << "hostwin took another child's exit";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    elsewhere.pid = -1;
}

} // namespace

namespace {

// A wait whose poll fails reports the failure, even an INFINITE one, which must never pass for
// a time-out; the same for a child's thread handle.
TEST_F(ProcessTest, AFailedPollFailsTheWaitWithItsError) {
    InstallAgent("pellard/bin");
    Started agent(kAgent, NULL);
    ASSERT_TRUE(agent.ok);
    for (HANDLE handle : {agent.info.hProcess, agent.info.hThread}) {
        for (DWORD timeout : {DWORD{0}, DWORD{50}, INFINITE}) {
            hostwin::InjectFault("poll", 1, ERROR_NOT_ENOUGH_MEMORY);
            SetLastError(0);
            EXPECT_EQ(WaitForSingleObject(handle, timeout), WAIT_FAILED) << timeout;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << timeout;
        }
    }
    hostwin::ClearFaults();
    EXPECT_EQ(WaitForSingleObject(agent.info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Waits (bounded) until the process executes the file named `image` and the kernel shows the
// new program's environment, which it fills in after the executable: then a snapshot sees it.
bool AwaitExecuting(pid_t pid, const std::string& image) {
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
        std::error_code error;
        if (fs::read_symlink(proc + "/exe", error).filename() == image &&
            !ReadFile(proc + "/environ").empty())
            return true;
        std::this_thread::yield();
    }
    return false;
}

std::string SnapshotImage(DWORD pid) {
    auto entries = Snapshot();
    auto entry = entries.find(pid);
    return entry == entries.end() ? "<not listed>" : hostwin::ToUtf8(entry->second.szExeFile);
}

// A process is listed under the file it executes, whatever its environment says: neither a
// child of a program hostwin started nor a forged variable passes for another program.
TEST_F(ProcessTest, ImageNamesComeFromWhatTheProcessExecutes) {
    const std::string sleepName = fs::canonical("/bin/sleep").filename().string();
    const std::string shellName = fs::canonical("/bin/sh").filename().string();
    // Started by hostwin, then replaced by another program or starting one that inherits
    // everything; the second script writes the pid of the sleep it started.
    const std::string written = RootPath("sleeper");
    struct Inherited {
        const char* what;
        std::string script;
        bool child;
    } inherited[] = {
        {"executed in place", "exec /bin/sleep 60", false},
        {"started as a child", "/bin/sleep 60 & echo $! > " + written + "; wait", true},
    };
    for (const Inherited& c : inherited) {
        std::u16string line = u"sh -c \"" + hostwin::FromUtf8(c.script) + u"\"";
        Started shell(u"Z:\\bin\\sh", line.c_str());
        ASSERT_TRUE(shell.ok) << GetLastError();
        pid_t sleeper = static_cast<pid_t>(shell.info.dwProcessId);
        if (c.child) {
            std::string text;
            for (const auto deadline = Clock::now() + 10s;
                 text.find('\n') == std::string::npos && Clock::now() < deadline;)
                text = ReadFile(written);
            sleeper = static_cast<pid_t>(std::atoi(text.c_str()));
            ASSERT_GT(sleeper, 0) << c.what;
        }
        ASSERT_TRUE(AwaitExecuting(sleeper, sleepName)) << c.what;
        EXPECT_EQ(SnapshotImage(static_cast<DWORD>(sleeper)), sleepName) << c.what;
        if (c.child) {
            EXPECT_EQ(SnapshotImage(shell.info.dwProcessId), shellName) << c.what;
            kill(sleeper, SIGKILL); // the shell reaps it and ends
        }
    }

    // Started from a shell with a mark of its own making.
    for (const char* mark : {"pellard.exe", "C:\\pellard\\bin\\pellard.exe"}) {
        Foreign forged({"/bin/sleep", "60"}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_IMAGE", mark}});
        ASSERT_GT(forged.pid, 0);
        ASSERT_TRUE(AwaitExecuting(forged.pid, sleepName)) << mark;
        EXPECT_EQ(SnapshotImage(static_cast<DWORD>(forged.pid)), sleepName) << mark;
    }
}

// The kill never waits on the record: a code that cannot be recorded is reported on the debug
// output, the process ends all the same and its code is then the signal's.
TEST_F(ProcessTest, TerminateEndsTheProcessWhenItsCodeCannotBeRecorded) {
    InstallAgent("pellard/bin");
    Started agent(kAgent, NULL);
    ASSERT_TRUE(agent.ok);
    hostwin::UniqueHandle observer(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                               FALSE, agent.info.dwProcessId));
    ASSERT_TRUE(observer.valid());
    WriteFile(RootPath("processes/exit"), "a file where the record folder belongs");
    SetLastError(0);
    EXPECT_TRUE(TerminateProcess(agent.info.hProcess, 0xC0DE));
    EXPECT_EQ(GetLastError(), 0u);
    for (HANDLE handle : {agent.info.hProcess, observer.get()}) {
        ASSERT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0) << "the agent runs on";
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(handle, &code));
        EXPECT_EQ(code, 128u + SIGKILL);
    }
    const auto reports = testing_support::DebugReportTexts(-1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("exit code 0x0000C0DE of process " +
                              std::to_string(agent.info.dwProcessId) + " not recorded"),
              std::string::npos)
        << reports[0];
    EXPECT_EQ(ReadFile(RootPath("processes/exit")), "a file where the record folder belongs");
}

// However the ends of one process meet, the code read afterwards is that of the first end,
// never a later call's and never lost: calls one after another, and calls racing each other
// (each on its own handle, as separate killers hold) while the process dies and is reaped.
TEST_F(ProcessTest, TheFirstEndsCodeStaysHoweverOftenTheProcessIsEnded) {
    const DWORD codes[] = {0xC0DE1, 0xC0DE2, 0xC0DE3};
    for (bool racing : {false, true}) {
        for (int round = 0; round < 50; ++round) {
            Started sleeper(u"Z:\\bin\\sleep", u"sleep 60");
            ASSERT_TRUE(sleeper.ok) << GetLastError();
            std::vector<hostwin::UniqueHandle> handles;
            for (size_t i = 0; i < 3; ++i)
                handles.emplace_back(
                    OpenProcess(PROCESS_TERMINATE, FALSE, sleeper.info.dwProcessId));
            BOOL ended[3] = {};
            DWORD errors[3] = {};
            auto end = [&](size_t i) {
                ended[i] = TerminateProcess(handles[i].get(), codes[i]);
                errors[i] = ended[i] ? 0 : GetLastError();
            };
            if (racing) {
                std::atomic<bool> go{false};
                std::vector<std::thread> killers;
                for (size_t i = 0; i < 3; ++i)
                    killers.emplace_back([&, i] {
                        while (!go)
                            std::this_thread::yield();
                        end(i);
                    });
                go = true;
                for (std::thread& killer : killers)
                    killer.join();
            } else {
                for (size_t i = 0; i < 3; ++i)
                    end(i);
            }
            ASSERT_EQ(WaitForSingleObject(sleeper.info.hProcess, 10000), WAIT_OBJECT_0);
            DWORD code = 0;
            ASSERT_TRUE(GetExitCodeProcess(sleeper.info.hProcess, &code)) << GetLastError();
            std::vector<DWORD> succeeded;
            for (size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(errors[i], ended[i] ? 0u : ERROR_ACCESS_DENIED);
                if (ended[i])
                    succeeded.push_back(codes[i]);
            }
            ASSERT_FALSE(succeeded.empty());
            if (racing)
                EXPECT_NE(std::find(succeeded.begin(), succeeded.end(), code), succeeded.end())
                    << "round " << round << ": the code 0x" << std::hex << code
                    << " is no successful end's";
            else
                EXPECT_EQ(code, codes[0]) << "round " << round;
        }
    }
}

} // namespace
