// Processes of the host machine: Windows command-line rules, starting real programs by their
// Windows paths, exit codes, access rights, reaping and the snapshots that list a machine.
#include "machine.h"

#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;
using testing_support::ReadFile;
using testing_support::SpawnProgram;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

class ProcessTest : public MachineTest {
protected:
    // Copies the sample agent to C:\<folder>\<name> of this machine; returns its host path.
    std::string InstallAgent(const std::string& folder, const std::string& name = "pellard.exe") {
        std::string path = RootPath("drive_c/" + folder + "/" + name);
        fs::create_directories(fs::path(path).parent_path());
        if (!fs::exists(path)) // a running copy cannot be overwritten
            fs::copy_file(PELLARD_EXE, path);
        return path;
    }
};

// Closes what CreateProcessW handed out, also when an assertion ends the test early.
struct Started {
    PROCESS_INFORMATION info = {};
    BOOL ok = FALSE;
    DWORD error = 0;

    Started(const WCHAR* application, const WCHAR* commandLine, DWORD flags = 0) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::u16string line = commandLine ? commandLine : u"";
        ok = CreateProcessW(application, commandLine ? line.data() : NULL, NULL, NULL, FALSE, flags,
                            NULL, NULL, &startup, &info);
        error = ok ? 0 : GetLastError();
    }
    ~Started() {
        if (info.hProcess) {
            TerminateProcess(info.hProcess, 0);
            WaitForSingleObject(info.hProcess, INFINITE);
            CloseHandle(info.hProcess);
        }
        if (info.hThread)
            CloseHandle(info.hThread);
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
};

struct Owned {
    HANDLE handle;
    explicit Owned(HANDLE h) : handle(h) {}
    ~Owned() {
        if (handle && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

// The agent writes "pid N started: <command line>" as soon as it runs; returns the command
// line it logged, or "<none>" when no such line came in time.
std::string LoggedCommandLine(const std::string& logPath, DWORD pid) {
    const std::string marker = " pid " + std::to_string(pid) + " started: ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string log = ReadFile(logPath);
        size_t at = log.find(marker);
        if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
            size_t start = at + marker.size();
            return log.substr(start, log.find('\n', at) - start);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return "<none>";
}

struct Entry {
    DWORD pid;
    DWORD parent;
    DWORD threads;
    std::string image;
};

std::vector<Entry> Snapshot() {
    std::vector<Entry> entries;
    Owned snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    EXPECT_NE(snapshot.handle, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.handle, &entry); more;
         more = Process32NextW(snapshot.handle, &entry))
        entries.push_back(Entry{entry.th32ProcessID, entry.th32ParentProcessID, entry.cntThreads,
                                hostwin::ToUtf8(entry.szExeFile)});
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    return entries;
}

const Entry* FindPid(const std::vector<Entry>& entries, DWORD pid) {
    for (const Entry& entry : entries)
        if (entry.pid == pid)
            return &entry;
    return nullptr;
}

std::vector<std::string> ProcEnvironment(DWORD pid) {
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/environ");
    std::vector<std::string> items;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\0', start);
        items.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return items;
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// A process started behind hostwin's back (as from a shell), ended and reaped by the test.
struct Foreign {
    int pid;
    Foreign(const std::string& program, const std::string& root)
        : pid(SpawnProgram({program}, {{"HOSTWIN_ROOT", root}})) {
        // The spawn returns before the kernel shows the new program's environment.
        const std::string environ = "/proc/" + std::to_string(pid) + "/environ";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid > 0 && ReadFile(environ).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }
    ~Foreign() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST_F(ProcessTest, SplitsCommandLinesLikeTheWindowsRuntime) {
    struct Case {
        std::u16string line;
        std::vector<std::u16string> argv;
    } cases[] = {
        {u"a.exe", {u"a.exe"}},
        {u"a.exe  b\tc  ", {u"a.exe", u"b", u"c"}},
        {u"\"C:\\Program Files\\a.exe\" x", {u"C:\\Program Files\\a.exe", u"x"}},
        // The program name knows no escapes: a trailing backslash stays.
        {u"\"C:\\dir\\\" b", {u"C:\\dir\\", u"b"}},
        {u"a \"b c\" d", {u"a", u"b c", u"d"}},
        {u"a b\"c d\"e", {u"a", u"bc de"}},
        {u"a \"\"", {u"a", u""}},
        {u"a \\\\server\\share", {u"a", u"\\\\server\\share"}},
        {u"a x\\\"y", {u"a", u"x\"y"}},
        {u"a x\\\\\"y z\"", {u"a", u"x\\y z"}},
        {u"a x\\\\\\\"y", {u"a", u"x\\\"y"}},
        {u"a \"x\\\\\"", {u"a", u"x\\"}},
        {u"a \"x\"\"y\"", {u"a", u"x\"y"}},
        {u"a \"unterminated arg", {u"a", u"unterminated arg"}},
        {u"", {u""}},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> argv = hostwin::SplitCommandLine(c.line);
        std::vector<std::string> got, want;
        for (const auto& a : argv)
            got.push_back(hostwin::ToUtf8(a));
        for (const auto& a : c.argv)
            want.push_back(hostwin::ToUtf8(a));
        EXPECT_EQ(got, want) << "line: " << hostwin::ToUtf8(c.line);
    }
}

TEST_F(ProcessTest, BuiltCommandLinesQuoteOnlyWhatNeedsItAndSplitBackUnchanged) {
    struct Case {
        std::vector<std::u16string> argv;
        std::u16string line;
    } cases[] = {
        {{u"C:\\bin\\a.exe"}, u"C:\\bin\\a.exe"},
        {{u"C:\\Program Files\\a.exe", u"/Service"}, u"\"C:\\Program Files\\a.exe\" /Service"},
        {{u"a", u"b c", u""}, u"a \"b c\" \"\""},
        {{u"a", u"x\\y\\"}, u"a x\\y\\"},
        {{u"a", u"x y\\"}, u"a \"x y\\\\\""},
        {{u"a", u"say \"hi\""}, u"a \"say \\\"hi\\\"\""},
        {{u"a", u"x\\\"y"}, u"a \"x\\\\\\\"y\""},
        {{u"a", u"tab\there", u"\\\\server\\share"}, u"a \"tab\there\" \\\\server\\share"},
    };
    for (const Case& c : cases) {
        std::u16string line = hostwin::BuildCommandLine(c.argv);
        EXPECT_EQ(hostwin::ToUtf8(line), hostwin::ToUtf8(c.line));
        EXPECT_EQ(hostwin::SplitCommandLine(line), c.argv) << hostwin::ToUtf8(line);
    }
}

TEST_F(ProcessTest, ChildSeesTheCommandLineWindowsWouldGiveIt) {
    const std::string agent = InstallAgent("pellard/bin");
    InstallAgent("Program Files/tools");
    const std::string log = RootPath("drive_c/pellard/bin/pellard.log");
    std::u16string throughZ = u"Z:" + hostwin::FromUtf8(agent);
    std::replace(throughZ.begin(), throughZ.end(), u'/', u'\\');
    struct Case {
        const WCHAR* application;
        const WCHAR* commandLine;
        std::string logPath;
        std::string logged;
    } cases[] = {
        // No command line: the path is the whole line and the agent gets no arguments.
        {u"C:\\pellard\\bin\\pellard.exe", NULL, log, "C:\\pellard\\bin\\pellard.exe"},
        {NULL, u"C:\\pellard\\bin\\pellard.exe a \"b c\"", log,
         "C:\\pellard\\bin\\pellard.exe a \"b c\""},
        // ".exe" is added to a module name without extension.
        {NULL, u"C:\\pellard\\bin\\pellard x\\\"y", log,
         "C:\\pellard\\bin\\pellard.exe \"x\\\"y\""},
        // The application name decides the module; the line's first token is only a name.
        {u"C:\\pellard\\bin\\pellard.exe", u"whatever.exe -x", log,
         "C:\\pellard\\bin\\pellard.exe -x"},
        {NULL, u"\"C:\\Program Files\\tools\\pellard.exe\" /Service",
         RootPath("drive_c/Program Files/tools/pellard.log"),
         "\"C:\\Program Files\\tools\\pellard.exe\" /Service"},
        // Z:\ is the host's own root.
        {throughZ.c_str(), NULL, log, "C:\\pellard\\bin\\pellard.exe"},
    };
    for (const Case& c : cases) {
        Started child(c.application, c.commandLine);
        ASSERT_TRUE(child.ok) << child.error;
        EXPECT_EQ(LoggedCommandLine(c.logPath, child.info.dwProcessId), c.logged);
    }
}

TEST_F(ProcessTest, ChildIsMarkedWithTheMachineAndInheritsNoDescriptor) {
    InstallAgent("pellard/bin");
    // A descriptor without close-on-exec, as careless code elsewhere in a process leaves one.
    const std::string strayPath = RootPath("stray");
    int stray = open(strayPath.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(stray, 3);
    Started child(u"C:\\pellard\\bin\\pellard.exe", NULL,
                  CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS);
    close(stray);
    ASSERT_TRUE(child.ok) << child.error;
    const DWORD pid = child.info.dwProcessId;
    EXPECT_EQ(GetProcessId(child.info.hProcess), pid);

    std::vector<std::string> environment = ProcEnvironment(pid);
    EXPECT_TRUE(Contains(environment, "HOSTWIN_ROOT=" + Root()));
    EXPECT_TRUE(Contains(environment, "HOSTWIN_IMAGE=C:\\pellard\\bin\\pellard.exe"));

    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        EXPECT_NE(fs::read_symlink(fd.path(), ignored).string(), strayPath)
            << "descriptor " << fd.path().filename() << " leaked into the child";
}

TEST_F(ProcessTest, ProgramsUnderASymlinkedRootStillSeeTheirCDrive) {
    InstallAgent("pellard/bin");
    const std::string link = Root() + "-link";
    fs::create_directory_symlink(Root(), link);
    setenv("HOSTWIN_ROOT", link.c_str(), 1);
    {
        Started child(u"C:\\pellard\\bin\\pellard.exe", NULL);
        EXPECT_TRUE(child.ok) << child.error;
        if (child.ok) {
            EXPECT_EQ(LoggedCommandLine(RootPath("drive_c/pellard/bin/pellard.log"),
                                        child.info.dwProcessId),
                      "C:\\pellard\\bin\\pellard.exe");
        }
    }
    setenv("HOSTWIN_ROOT", Root().c_str(), 1);
    fs::remove(link);
}

TEST_F(ProcessTest, RefusesWhatItCannotStartOrDoesNotImplement) {
    InstallAgent("pellard/bin");
    fs::create_directories(RootPath("drive_c/empty"));
    WriteFile(RootPath("drive_c/empty/notes.exe"), "not a program");
    WriteFile(RootPath("drive_c/empty/garbage.exe"), "\x01\x02\x03 not an image");
    fs::permissions(RootPath("drive_c/empty/garbage.exe"), fs::perms::owner_all);
    struct Case {
        const char* what;
        const WCHAR* application;
        const WCHAR* commandLine;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {"missing file", u"C:\\empty\\pellard.exe", NULL, 0, ERROR_FILE_NOT_FOUND},
        {"missing folder", u"C:\\nowhere\\pellard.exe", NULL, 0, ERROR_PATH_NOT_FOUND},
        {"missing module on the line", NULL, u"C:\\empty\\gone arg", 0, ERROR_FILE_NOT_FOUND},
        {"folder", u"C:\\empty", NULL, 0, ERROR_ACCESS_DENIED},
        {"not executable", u"C:\\empty\\notes.exe", NULL, 0, ERROR_ACCESS_DENIED},
        {"not an image", u"C:\\empty\\garbage.exe", NULL, 0, ERROR_BAD_EXE_FORMAT},
        {"nothing to start", NULL, NULL, 0, ERROR_INVALID_PARAMETER},
        {"suspended start", u"C:\\pellard\\bin\\pellard.exe", NULL, CREATE_SUSPENDED,
         ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        Started child(c.application, c.commandLine, c.flags);
        EXPECT_FALSE(child.ok) << c.what;
        EXPECT_EQ(child.error, c.error) << c.what;
        EXPECT_EQ(child.info.hProcess, nullptr) << c.what;
    }

    // Parameters the host does not implement fail loudly instead of being ignored.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    WCHAR application[] = u"C:\\pellard\\bin\\pellard.exe";
    char16_t environment[] = u"A=1\0";
    EXPECT_FALSE(
        CreateProcessW(application, NULL, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(CreateProcessW(application, NULL, NULL, NULL, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                environment, NULL, &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(
        CreateProcessW(application, NULL, NULL, NULL, FALSE, 0, NULL, u"C:\\", &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(info.hProcess, nullptr);
    EXPECT_EQ(Snapshot().size(), 1u) << "only this test process runs on the machine";
}

TEST_F(ProcessTest, ExitCodeIsTheStatusOrTheCodeGivenToTerminate) {
    struct Case {
        const char* script;
        DWORD code;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 300", 300 & 0xFF},         // a Linux status keeps the low byte only
        {"kill -TERM $$", 128 + SIGTERM}, // ended by a signal that hostwin did not send
    };
    for (const Case& c : cases) {
        std::u16string line = u"sh -c \"" + hostwin::FromUtf8(c.script) + u"\"";
        Started child(u"Z:\\bin\\sh", line.c_str());
        ASSERT_TRUE(child.ok) << child.error;
        EXPECT_EQ(WaitForSingleObject(child.info.hThread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(child.info.hProcess, INFINITE), WAIT_OBJECT_0);
        DWORD code = 12345;
        EXPECT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
        EXPECT_EQ(code, c.code) << c.script;
        // Ending a process that has ended is refused and changes nothing.
        EXPECT_FALSE(TerminateProcess(child.info.hProcess, 99));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
        EXPECT_EQ(code, c.code) << c.script;
    }

    InstallAgent("pellard/bin");
    Started agent(u"C:\\pellard\\bin\\pellard.exe", NULL);
    ASSERT_TRUE(agent.ok);
    Owned observer(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                               agent.info.dwProcessId));
    ASSERT_NE(observer.handle, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(observer.handle, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(observer.handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(TerminateProcess(agent.info.hProcess, 0xC0DE));
    EXPECT_EQ(WaitForSingleObject(observer.handle, INFINITE), WAIT_OBJECT_0);
    for (HANDLE handle : {agent.info.hProcess, observer.handle}) {
        EXPECT_TRUE(GetExitCodeProcess(handle, &code));
        EXPECT_EQ(code, 0xC0DEu);
    }
}

TEST_F(ProcessTest, CodeGivenByAnotherProcessIsSeenHere) {
    InstallAgent("pellard/bin");
    Started agent(u"C:\\pellard\\bin\\pellard.exe", NULL);
    ASSERT_TRUE(agent.ok);
    // taskkill ends its processes with code 1; the wait status here says "killed".
    auto result = testing_support::RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(WaitForSingleObject(agent.info.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(agent.info.hProcess, &code));
    EXPECT_EQ(code, 1u);
}

TEST_F(ProcessTest, HandlesAllowOnlyTheRightsTheyWereOpenedWith) {
    InstallAgent("pellard/bin");
    Started agent(u"C:\\pellard\\bin\\pellard.exe", NULL);
    ASSERT_TRUE(agent.ok);
    const DWORD pid = agent.info.dwProcessId;
    struct Case {
        DWORD access;
        bool wait, query, terminate;
    } cases[] = {
        {SYNCHRONIZE, true, false, false},
        {PROCESS_QUERY_LIMITED_INFORMATION, false, true, false},
        {PROCESS_QUERY_INFORMATION, false, true, false},
        {PROCESS_TERMINATE, false, false, true},
    };
    for (const Case& c : cases) {
        Owned process(OpenProcess(c.access, FALSE, pid));
        ASSERT_NE(process.handle, nullptr) << c.access;
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(process.handle, 0),
                  c.wait ? static_cast<DWORD>(WAIT_TIMEOUT) : WAIT_FAILED)
            << c.access;
        DWORD code = 0;
        EXPECT_EQ(GetExitCodeProcess(process.handle, &code) != FALSE, c.query) << c.access;
        EXPECT_EQ(GetProcessId(process.handle), c.query ? pid : 0u) << c.access;
        if (!c.query) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        if (!c.terminate) {
            EXPECT_FALSE(TerminateProcess(process.handle, 3)) << c.access;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
    }
    EXPECT_EQ(WaitForSingleObject(agent.info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a handle without the right ended the process";
    Owned terminator(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    EXPECT_TRUE(TerminateProcess(terminator.handle, 3));
    EXPECT_EQ(WaitForSingleObject(agent.info.hProcess, INFINITE), WAIT_OBJECT_0);
}

TEST_F(ProcessTest, OpensOnlyLiveProcessesOfThisMachine) {
    const std::string otherRoot = Root() + "/other-machine";
    fs::create_directories(otherRoot);
    const std::string agent = InstallAgent("pellard/bin");
    Foreign elsewhere(agent, otherRoot);
    Foreign here(agent, Root());
    ASSERT_GT(elsewhere.pid, 0);
    ASSERT_GT(here.pid, 0);

    Started ended(u"Z:\\bin\\sh", u"sh -c \"exit 0\"");
    ASSERT_TRUE(ended.ok);
    WaitForSingleObject(ended.info.hProcess, INFINITE);

    struct Case {
        const char* what;
        DWORD pid;
        DWORD access;
        BOOL inherit;
        DWORD error; // 0: opens
    } cases[] = {
        {"process of this machine", static_cast<DWORD>(here.pid), PROCESS_TERMINATE, FALSE, 0},
        {"this process", GetCurrentProcessId(), SYNCHRONIZE, FALSE, 0},
        {"process of another machine", static_cast<DWORD>(elsewhere.pid), PROCESS_TERMINATE, FALSE,
         ERROR_INVALID_PARAMETER},
        {"ended process", ended.info.dwProcessId, SYNCHRONIZE, FALSE, ERROR_INVALID_PARAMETER},
        {"no process", 0, SYNCHRONIZE, FALSE, ERROR_INVALID_PARAMETER},
        {"pid beyond any", 0x7FFFFFF0u, SYNCHRONIZE, FALSE, ERROR_INVALID_PARAMETER},
        {"inheritable", static_cast<DWORD>(here.pid), SYNCHRONIZE, TRUE, ERROR_NOT_SUPPORTED},
        {"unsupported right", static_cast<DWORD>(here.pid), 0x0010 /* read memory */, FALSE,
         ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        Owned process(OpenProcess(c.access, c.inherit, c.pid));
        EXPECT_EQ(process.handle != nullptr, c.error == 0) << c.what;
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
    }
    EXPECT_EQ(waitpid(elsewhere.pid, nullptr, WNOHANG), 0) << "the other machine's agent ended";
}

TEST_F(ProcessTest, ReapsItsOwnChildrenButNoOneElses) {
    const std::string agent = InstallAgent("pellard/bin");
    // A child this process started without hostwin: its exit stays for its owner to collect.
    Foreign other(agent, Root() + "/elsewhere");
    ASSERT_GT(other.pid, 0);
    DWORD pid = 0;
    {
        Started agent(u"C:\\pellard\\bin\\pellard.exe", NULL);
        ASSERT_TRUE(agent.ok);
        pid = agent.info.dwProcessId;
    } // terminated, waited for and closed
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (kill(static_cast<pid_t>(pid), 0) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_NE(kill(static_cast<pid_t>(pid), 0), 0) << "the ended child was never reaped";

    kill(other.pid, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(other.pid, &status, 0), other.pid) << "hostwin took another child's exit";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    other.pid = -1;
}

TEST_F(ProcessTest, SnapshotListsTheLiveProcessesOfThisMachineOnly) {
    const std::string agent = InstallAgent("pellard/bin");
    fs::create_directories(RootPath("drive_c/alias"));
    fs::create_symlink(agent, RootPath("drive_c/alias/Other.exe"));
    Foreign elsewhere(agent, Root() + "/another-root");
    Foreign unmarked(RootPath("drive_c/alias/Other.exe"), Root());
    Started marked(u"C:\\alias\\Other.exe", NULL);
    Started ended(u"C:\\pellard\\bin\\pellard.exe", NULL);
    ASSERT_TRUE(marked.ok);
    ASSERT_TRUE(ended.ok);
    ASSERT_TRUE(TerminateProcess(ended.info.hProcess, 0));
    // Without waiting: TerminateProcess lets the process go before it returns.

    std::vector<Entry> entries = Snapshot();
    const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
    struct Case {
        const char* what;
        DWORD pid;
        const char* image; // nullptr: not listed
    } cases[] = {
        {"started as Other.exe", marked.info.dwProcessId, "Other.exe"},
        {"started from a shell", static_cast<DWORD>(unmarked.pid), "pellard.exe"},
        {"this process", GetCurrentProcessId(), self.c_str()},
        {"other machine", static_cast<DWORD>(elsewhere.pid), nullptr},
        {"ended", ended.info.dwProcessId, nullptr},
    };
    for (const Case& c : cases) {
        const Entry* entry = FindPid(entries, c.pid);
        ASSERT_EQ(entry != nullptr, c.image != nullptr) << c.what;
        if (!entry)
            continue;
        EXPECT_EQ(entry->image, c.image) << c.what;
        EXPECT_GE(entry->threads, 1u) << c.what;
    }
    EXPECT_EQ(FindPid(entries, marked.info.dwProcessId)->parent, GetCurrentProcessId());
    EXPECT_EQ(entries.size(), 3u);
}

TEST_F(ProcessTest, SnapshotWalkChecksTheRecordSizeAndEndsWithNoMoreFiles) {
    Owned snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    ASSERT_NE(snapshot.handle, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD size;
        bool accepted;
    } cases[] = {
        {0, false},
        {sizeof(PROCESSENTRY32W) - 1, false},
        {sizeof(PROCESSENTRY32W), true},
        {sizeof(PROCESSENTRY32W) + 16, true},
    };
    for (const Case& c : cases) {
        alignas(PROCESSENTRY32W) unsigned char buffer[sizeof(PROCESSENTRY32W) + 16] = {};
        auto* entry = reinterpret_cast<PROCESSENTRY32W*>(buffer);
        entry->dwSize = c.size;
        SetLastError(0);
        EXPECT_EQ(Process32FirstW(snapshot.handle, entry) != FALSE, c.accepted) << c.size;
        if (c.accepted) {
            EXPECT_EQ(entry->th32ProcessID, GetCurrentProcessId()) << c.size;
            EXPECT_EQ(entry->dwSize, c.size);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH)) << c.size;
        }
    }
    // Only this process is on the fresh machine: one entry, then the end, then a rewind.
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    EXPECT_TRUE(Process32FirstW(snapshot.handle, &entry));
    EXPECT_FALSE(Process32NextW(snapshot.handle, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(Process32FirstW(snapshot.handle, &entry));

    for (DWORD flags : {0x4u /* threads */, TH32CS_SNAPPROCESS | 0x8u /* and modules */}) {
        EXPECT_EQ(CreateToolhelp32Snapshot(flags, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    EXPECT_FALSE(Process32FirstW(reinterpret_cast<HANDLE>(0x1234), &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ProcessTest, ModuleFileNameIsTheWindowsPathTruncatedAsWindowsDoes) {
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::u16string expected = u"Z:" + hostwin::FromUtf8(exe);
    std::replace(expected.begin(), expected.end(), u'/', u'\\');
    const DWORD length = static_cast<DWORD>(expected.size());
    struct Case {
        DWORD size;
        DWORD result;
        std::u16string text;
        DWORD error; // 0: not set
    } cases[] = {
        {MAX_PATH * 4, length, expected, 0},
        {length + 1, length, expected, 0},
        {length, length, expected.substr(0, length - 1), ERROR_INSUFFICIENT_BUFFER},
        {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        std::vector<WCHAR> buffer(MAX_PATH * 4, u'#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(NULL, buffer.data(), c.size), c.result) << c.size;
        EXPECT_EQ(hostwin::ToUtf8(buffer.data()), hostwin::ToUtf8(c.text)) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    WCHAR buffer[8];
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(NULL), buffer, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // The command line starts with the same path; arguments follow.
    std::u16string line = GetCommandLineW();
    EXPECT_EQ(hostwin::ToUtf8(line.substr(0, expected.size())), hostwin::ToUtf8(expected));
}

} // namespace
