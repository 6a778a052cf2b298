// Handle table, last error and fault injection: the plumbing every other test relies on.
#include "machine.h"

#include <windows.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

using testing_support::MachineTest;

namespace {

class CoreTest : public MachineTest {};

TEST_F(CoreTest, LastErrorIsPerThread) {
    SetLastError(42);
    DWORD other = 0;
    std::thread([&] {
        SetLastError(7);
        other = GetLastError();
    }).join();
    EXPECT_EQ(other, 7u);
    EXPECT_EQ(GetLastError(), 42u);
}

TEST_F(CoreTest, ClosingAnUnknownOrClosedHandleFails) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CoreTest, InjectedFaultHitsOnlyTheNthCallCountedFromInjection) {
    CloseHandle(nullptr); // calls before the injection do not count
    hostwin::InjectFault("CloseHandle", 2, ERROR_NO_SYSTEM_RESOURCES);
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CoreTest, InjectedThrowRaisesBadAllocOnTheNthCallOnly) {
    hostwin::InjectThrow("CloseHandle", 2);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    hostwin::InjectThrow("CloseHandle", 0);
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    EXPECT_THROW(CloseHandle(nullptr), std::bad_alloc);
    hostwin::InjectFault("CloseHandle", 0, 5); // a code in its place stops the throwing
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(CoreTest, FaultOnEveryCallUntilCleared) {
    hostwin::InjectFault("CloseHandle", 0, 5);
    for (int i = 0; i < 3; ++i) {
        CloseHandle(nullptr);
        EXPECT_EQ(GetLastError(), 5u);
    }
    hostwin::ClearFaults();
    CloseHandle(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Faults set from the environment reach a program before its first call: tasklist takes one
// snapshot, so only a fault on the first call (or on every call) makes it fail. An entry that
// does not parse or names no fault point stops the program before it does anything.
TEST_F(CoreTest, EnvironmentFaultsHitTheNamedCallAndBadEntriesStopTheProgram) {
    struct Case {
        std::string faults;
        int exitStatus;
        std::string error; // a piece of stderr
        int signal = 0;
    } cases[] = {
        {"CreateToolhelp32Snapshot@1=8", 1, "(error 8)"},
        {"CreateToolhelp32Snapshot@2=8", 0, ""},
        {"CreateToolhelp32Snapshot@*=31", 1, "(error 31)"},
        {"CreateEventW@1=5,CreateToolhelp32Snapshot@1=0x1F", 1, "(error 31)"},
        {"Process32NextW@1=5", 1, "(error 5)"},
        {"", 0, ""},
        {"malformed", 87, "bad HOSTWIN_FAULTS entry 'malformed'"},
        {"Nope@1=5", 87, "no fault point named Nope"},
        {"Sleep@1=5", 87, "no fault point named Sleep"}, // Sleep cannot fail
        {"@1=5", 87, "entry '@1=5'"},
        {"CreateToolhelp32Snapshot@0=8", 87, "count from 1"},
        {"CreateToolhelp32Snapshot@-1=8", 87, "count from 1"},
        {"CreateToolhelp32Snapshot@1=", 87, "32-bit"},
        {"CreateToolhelp32Snapshot@1=0x100000000", 87, "32-bit"},
        {"CreateToolhelp32Snapshot@1=8x", 87, "32-bit"},
        {"CreateToolhelp32Snapshot@1=8,", 87, "entry ''"},
        {"CreateToolhelp32Snapshot@1=throws", 87, "throw, kill or"},
        {"CreateToolhelp32Snapshot@1=Kill", 87, "throw, kill or"},
        // The tool catches nothing, so the throw ends it through std::terminate (abort); a
        // kill ends it at the call, with nothing written.
        {"CreateToolhelp32Snapshot@1=throw", -1, "", SIGABRT},
        {"CreateToolhelp32Snapshot@2=throw", 0, ""},
        {"CreateToolhelp32Snapshot@1=kill", -1, "", SIGKILL},
        {"Process32NextW@1=kill", -1, "", SIGKILL},
        {"CreateToolhelp32Snapshot@2=kill", 0, ""},
        // Scoped to a program by its file name, compared without case; another program's
        // entries are its own to check, but must still parse.
        {"tasklist.exe:CreateToolhelp32Snapshot@1=8", 1, "(error 8)"},
        {"TaskList.EXE:CreateToolhelp32Snapshot@1=8", 1, "(error 8)"},
        {"reg.exe:CreateToolhelp32Snapshot@1=8", 0, ""},
        {"tasklist:CreateToolhelp32Snapshot@1=8", 0, ""},
        {"reg.exe:Nope@1=5,tasklist.exe:Process32NextW@1=5", 1, "(error 5)"},
        {"tasklist.exe:Nope@1=5", 87, "no fault point named Nope"},
        {"reg.exe:Nope@0=5", 87, "count from 1"},
        {":CreateToolhelp32Snapshot@1=8", 87, "[image:]Name@N"},
        {"tasklist.exe:@1=8", 87, "[image:]Name@N"},
    };
    for (const Case& c : cases) {
        testing_support::ProgramResult result = testing_support::RunProgram(
            {TASKLIST_EXE}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_FAULTS", c.faults}});
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.faults << "\n" << result.err;
        EXPECT_EQ(result.signal, c.signal) << c.faults;
        if (c.signal == SIGKILL) {
            EXPECT_EQ(result.out, "") << c.faults;
        }
        EXPECT_NE(result.err.find(c.error), std::string::npos) << c.faults << "\n" << result.err;
        if (c.exitStatus == 87) {
            EXPECT_EQ(result.out, "") << "the program did nothing: " << c.faults;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
    }
    // The same frame for every program: reg names the bad entry too.
    testing_support::ProgramResult reg = testing_support::RunProgram(
        {REG_EXE, "query", "HKLM"}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_FAULTS", "Nope@1=5"}});
    EXPECT_NE(reg.exitStatus, 0);
    EXPECT_EQ(reg.err, "hostwin: bad HOSTWIN_FAULTS entry 'Nope@1=5': this program has no fault "
                       "point named Nope\n");
    // Delays take the same entries and the same checks.
    testing_support::ProgramResult delayed = testing_support::RunProgram(
        {TASKLIST_EXE}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_DELAYS", "Nope@1=5"}});
    EXPECT_EQ(delayed.exitStatus, 87);
    EXPECT_NE(delayed.err.find("bad HOSTWIN_DELAYS entry 'Nope@1=5'"), std::string::npos);
}

// The sweep's two records: every call of every fault point, numbered per function and
// process, and a ledger of each program's start and end with the handles it still held. A
// program ended by an uncaught exception has a start and no end.
namespace {

// Calls per function from a fault-point log, checking that every line is the program's and
// that each function's calls are numbered 1, 2, 3... in order.
std::map<std::string, int> CountPointCalls(const std::string& log, const std::string& image,
                                           pid_t pid) {
    std::map<std::string, int> counts;
    std::istringstream lines(testing_support::ReadFile(log));
    const std::string prefix = image + "\t" + std::to_string(pid) + "\t";
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        const std::string call = line.substr(prefix.size());
        const std::string function = call.substr(0, call.find('\t'));
        EXPECT_EQ(call, function + "\t" + std::to_string(++counts[function]));
    }
    return counts;
}

} // namespace

TEST_F(CoreTest, FaultPointLogAndProcessLedger) {
    struct Case {
        std::string faults;
        std::string end; // the end line after "end\ttasklist.exe\t<pid>", or none
        int walks;       // calls of Process32FirstW
    } cases[] = {
        {"", "\t0x00000000\t", 1},
        {"CloseHandle@1=6", "\t0x00000000\tsnapshot=1", 1},
        {"CloseHandle@*=6,CreateEventW@1=5", "\t0x00000000\tsnapshot=1", 1},
        {"CreateToolhelp32Snapshot@1=8", "\t0x00000001\t", 0},
        {"CreateToolhelp32Snapshot@1=throw", "", 0},
        {"Process32FirstW@1=kill", "", 1},
    };
    const std::string points = RootPath("points.txt"), ledger = RootPath("ledger.txt");
    for (const Case& c : cases) {
        std::remove(points.c_str());
        std::remove(ledger.c_str());
        testing_support::ProgramResult result =
            testing_support::RunProgram({TASKLIST_EXE}, {{"HOSTWIN_ROOT", Root()},
                                                         {"HOSTWIN_FAULTS", c.faults},
                                                         {"HOSTWIN_FAULT_POINT_LOG", points},
                                                         {"HOSTWIN_PROCESS_LEDGER", ledger}});
        const std::string pid = std::to_string(result.pid);
        const std::string start = "start\ttasklist.exe\t" + pid + "\n";
        EXPECT_EQ(testing_support::ReadFile(ledger),
                  c.end.empty() ? start : start + "end\ttasklist.exe\t" + pid + c.end + "\n")
            << c.faults;
        // A failed call is still a call: it has its line.
        std::map<std::string, int> counts = CountPointCalls(points, "tasklist.exe", result.pid);
        EXPECT_EQ(counts["CreateToolhelp32Snapshot"], 1) << c.faults;
        EXPECT_EQ(counts["Process32FirstW"], c.walks) << c.faults;
    }
    // A walk of many keys: one line per call, numbered on.
    std::remove(points.c_str());
    testing_support::ProgramResult reg = testing_support::RunProgram(
        {REG_EXE, "query", "HKLM", "/s"},
        {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_FAULT_POINT_LOG", points}});
    EXPECT_EQ(reg.exitStatus, 0) << reg.err;
    EXPECT_GE(CountPointCalls(points, "reg.exe", reg.pid)["RegEnumKeyExW"], 5);
}

// A delayed call is held before it does anything, and says so in the call log; only the
// chosen call is held.
TEST_F(CoreTest, DelaysHoldOnlyTheChosenCall) {
    const std::string log = RootPath("calls.log");
    testing_support::ProgramResult result = testing_support::RunProgram(
        {TASKLIST_EXE, "/NH"}, {{"HOSTWIN_ROOT", Root()},
                                {"HOSTWIN_DELAYS", "Process32NextW@1=1"},
                                {"HOSTWIN_CALL_LOG", log}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const std::string calls = testing_support::ReadFile(log);
    const size_t at = calls.find("Process32NextW(delayed 1 ms)");
    EXPECT_NE(at, std::string::npos) << calls;
    EXPECT_EQ(calls.find("delayed", at + 30), std::string::npos) << "held once only: " << calls;

    hostwin::EnableCallLog(true);
    hostwin::DelayCall("CreateEventW", 2, 1);
    for (int i = 0; i < 3; ++i)
        CloseHandle(CreateEventW(NULL, TRUE, FALSE, NULL));
    const std::vector<hostwin::CallRecord> records = hostwin::CallLog("CreateEventW");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].args, "delayed 1 ms") << "held before the second call did anything";
    for (size_t i : {0, 2, 3})
        EXPECT_NE(records[i].args, "delayed 1 ms") << i;
}

// Windows cannot unwind a C++ exception out of a callback through its own frames: the process
// ends through std::terminate. The host must end the same way, never unwind into the caller.
void CALLBACK ThrowingTimerCallback(HWND, UINT, UINT_PTR, DWORD) {
    throw std::runtime_error("timer callback");
}
DWORD WINAPI ThrowingThreadProc(LPVOID) {
    throw std::runtime_error("thread procedure");
}

TEST_F(CoreTest, AnExceptionEscapingAProgramCallbackEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* callback;
        void (*run)();
    } cases[] = {
        {"timer callback",
         [] {
             SetTimer(NULL, 0, 10, ThrowingTimerCallback);
             MSG msg{};
             GetMessageW(&msg, NULL, 0, 0);
             DispatchMessageW(&msg);
         }},
        {"thread procedure",
         [] {
             HANDLE thread = CreateThread(NULL, 0, ThrowingThreadProc, NULL, 0, NULL);
             WaitForSingleObject(thread, INFINITE);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.callback);
        // Exit 3: the exception reached the caller; exit 0: the callback never ran.
        EXPECT_EXIT(
            {
                try {
                    c.run();
                } catch (...) {
                    _exit(3);
                }
                _exit(0);
            },
            ::testing::KilledBySignal(SIGABRT), "");
    }
}

// The sample agent sleeps a second between heartbeats; scaled a thousandfold down, twenty
// heartbeats come in well under the deadline, which unscaled sleeps could never meet.
TEST_F(CoreTest, TimeScaleShortensEverySleep) {
    const std::string agent = RootPath("drive_c/pellard/bin/pellard.exe");
    testing_support::WriteFile(agent, testing_support::ReadFile(PELLARD_EXE));
    chmod(agent.c_str(), 0755);
    int pid = testing_support::SpawnProgram(
        {agent}, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_TIME_SCALE", "0.001"}});
    ASSERT_GT(pid, 0);
    const std::string log = RootPath("drive_c/pellard/bin/pellard.log");
    auto heartbeats = [&] {
        std::string text = testing_support::ReadFile(log);
        size_t count = 0;
        for (size_t at = text.find("heartbeat"); at != std::string::npos;
             at = text.find("heartbeat", at + 1))
            ++count;
        return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (heartbeats() < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(heartbeats(), 20u);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace
