// The process entry: module-record failures make it refuse to run, and errors that reach it
// become the exit code instead of a crash.
#include "machine.h"

#include "entry.h"

#include <crtdbg.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

using testing_support::MachineTest;
using testing_support::RunProgram;

namespace {

class EntryTest : public MachineTest {};

TEST_F(EntryTest, AnExceptionReachingTheEntryBecomesTheExitCodeWithOneTrace) {
    struct Case {
        const char* what;
        std::function<int()> body;
        int exitCode;
        const char* trace; // nullptr: none
    } cases[] = {
        {"a result", [] { return 7; }, 7, nullptr},
        {"a framework error", []() -> int { throw CHResultException(E_ACCESSDENIED); },
         E_ACCESSDENIED, "traceException - wWinMain: caught exception, hr = 0x80070005\n"},
        {"an allocation failure", []() -> int { throw std::bad_alloc(); }, E_OUTOFMEMORY,
         "traceException - wWinMain: caught exception, hr = 0x8007000e\n"},
        {"any other exception", []() -> int { throw std::runtime_error("x"); },
         kUnknownExceptionResult, "traceException - wWinMain: caught exception, hr = 0xa0000001\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hostwin::ClearDebugReports();
        EXPECT_EQ(RunEntry(c.body), c.exitCode);
        std::vector<std::string> traces = testing_support::DebugReportTexts(_CRT_WARN);
        if (c.trace) {
            EXPECT_EQ(traces, std::vector<std::string>{c.trace});
        } else
            EXPECT_TRUE(traces.empty());
    }
}

// Out of process, as Windows would end it: the exit code, the debug output, the Application
// event an administrator finds, and no message box or other wait for a person. A structured
// exception goes on to the system's crash reporting; std::terminate writes its own event.
TEST_F(EntryTest, FaultsNothingCatchesEndTheProcessWithTheirCode) {
    const std::string terminateLine = "std::terminate: exception hr = 0x";
    // Error 0xC0000003, the crash message, with the line as its one string.
    const std::string crashEvent = "\"category\":0,\"id\":3221225475,\"source\":\"pellardservice\","
                                   "\"strings\":[\"std::terminate: exception hr = 0x";
    struct Case {
        const char* what;
        std::vector<std::string> argv;
        std::map<std::string, std::string> env;
        DWORD exitCode;
        std::string debugOutput; // expected exactly, after the exit code line is taken out
        std::string event;       // the one Application event, from its source on
    } cases[] = {
        {"a timer callback throws",
         {EDGEPROBE_EXE, "timer"},
         {},
         0xC0000409,
         terminateLine + "A0000001, exit code 0xC0000409\n",
         crashEvent + "A0000001, exit code 0xC0000409\"]"},
        {"a thread procedure throws",
         {EDGEPROBE_EXE, "thread"},
         {},
         0xC0000409,
         terminateLine + "A0000001, exit code 0xC0000409\n",
         crashEvent + "A0000001, exit code 0xC0000409\"]"},
        {"a process-wide constructor raises",
         {EDGEPROBE_EXE},
         {{"EDGE_PROBE_CONSTRUCTOR", "raise"}},
         0xC0000005,
         "hostwin: unhandled exception 0xC0000005\n",
         "\"category\":100,\"id\":1000,\"source\":\"Application Error\","
         "\"strings\":[\"edgeprobe.exe\",\"0xc0000005\"]"},
        {"the first process-wide record's constructor throws",
         {TOLLIVAR_EXE},
         {{"HOSTWIN_FAULTS", "InitializeCriticalSectionEx@1=throw"}},
         0xC0000409,
         terminateLine + "8007000E, exit code 0xC0000409\n",
         crashEvent + "8007000E, exit code 0xC0000409\"]"},
        {"and the process cannot terminate itself",
         {TOLLIVAR_EXE},
         {{"HOSTWIN_FAULTS", "InitializeCriticalSectionEx@1=throw,TerminateProcess@1=5"}},
         0xC0000409,
         terminateLine + "8007000E, exit code 0xC0000409\n",
         crashEvent + "8007000E, exit code 0xC0000409\"]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(RootPath("eventlog/Application.jsonl"));
        std::map<std::string, std::string> env = c.env;
        env["HOSTWIN_ROOT"] = Root();
        env["HOSTWIN_DEBUG_OUTPUT"] = "stderr";
        env["HOSTWIN_SHOW_EXIT_CODE"] = "1";
        testing_support::ProgramResult result = RunProgram(c.argv, env);
        char exitLine[32];
        std::snprintf(exitLine, sizeof exitLine, "exit code 0x%08X\n", c.exitCode);
        size_t at = result.err.find(exitLine);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no " << exitLine << result.err;
            continue;
        }
        std::string debugOutput = result.err.erase(at, std::strlen(exitLine));
        EXPECT_EQ(debugOutput, c.debugOutput)
            << "one line from the terminate handler, none from the host's own last resort, "
               "none from the entry's catch";
        EXPECT_EQ(result.exitStatus, static_cast<int>(c.exitCode & 0xFF));
        EXPECT_EQ(testing_support::ReadFile(RootPath("messagebox.jsonl")), "");
        std::string events = testing_support::ReadFile(RootPath("eventlog/Application.jsonl"));
        EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << events;
        EXPECT_NE(events.find(c.event), std::string::npos) << events;
        EXPECT_NE(events.find("\"type\":1}"), std::string::npos) << "an error event: " << events;
    }
}

// tollivar.exe with the nth critical-section initialisation failing, as static
// initialisation meets them: base record, COM record, window record, module.
TEST_F(EntryTest, EachRecordsInitialisationFailureStopsTheEntry) {
    const char* const comTrace =
        "traceCOM - ERROR : Unable to initialize critical section in CComModuleRecord\n";
    struct Case {
        int nth;
        const char* trace; // the record's own report, in the debug output
        int failedChecks;  // "0" reports, the entry's own included
        std::string image; // a fault scoped to the program: its name is known this early
    } cases[] = {
        {1, nullptr, 1, ""},
        {2, comTrace, 2, ""},
        {3, "traceWindowing - ERROR : Unable to initialize critical section in WindowModuleInit\n",
         3, ""},
        {4, "traceGeneral - ERROR : Unable to initialize critical section in CModuleBase\n", 2, ""},
        {2, comTrace, 2, "Tollivar.EXE:"},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image + "failing initialisation " + std::to_string(c.nth));
        std::string callLog = RootPath("calls-" + std::to_string(++run) + ".log");
        testing_support::ProgramResult result = RunProgram(
            {TOLLIVAR_EXE}, {{"HOSTWIN_ROOT", Root()},
                             {"HOSTWIN_FAULTS", c.image + "InitializeCriticalSectionEx@" +
                                                    std::to_string(c.nth) + "=1450"},
                             {"HOSTWIN_DEBUG_OUTPUT", "stderr"},
                             {"HOSTWIN_SHOW_EXIT_CODE", "1"},
                             {"HOSTWIN_CALL_LOG", callLog}});
        EXPECT_EQ(result.exitStatus, 255);
        EXPECT_NE(result.err.find("exit code 0xFFFFFFFF\n"), std::string::npos) << result.err;
        if (c.trace)
            EXPECT_NE(result.err.find(std::string(" : ") + c.trace), std::string::npos)
                << result.err;
        else
            EXPECT_EQ(result.err.find("ERROR : Unable"), std::string::npos)
                << "the base record reports only to an attached debugger";
        size_t checks = 0;
        for (size_t at = result.err.find("Assertion failed: 0\n"); at != std::string::npos;
             at = result.err.find("Assertion failed: 0\n", at + 1))
            ++checks;
        EXPECT_EQ(checks, static_cast<size_t>(c.failedChecks)) << result.err;
        EXPECT_EQ(testing_support::ReadFile(callLog).find("GetCommandLineW"), std::string::npos)
            << "nothing is read once a record failed";
    }
}

TEST_F(EntryTest, WithEveryRecordInPlaceTheEntryReadsItsCommandLine) {
    std::string callLog = RootPath("calls.log");
    testing_support::ProgramResult result =
        RunProgram({TOLLIVAR_EXE}, {{"HOSTWIN_ROOT", Root()},
                                    {"HOSTWIN_FAULTS", "InitializeCriticalSectionEx@5=1450"},
                                    {"HOSTWIN_CALL_LOG", callLog}});
    std::string calls = testing_support::ReadFile(callLog);
    size_t entry = calls.find("GetCommandLineW");
    ASSERT_NE(entry, std::string::npos) << calls;
    calls.resize(entry);
    size_t sections = 0;
    for (size_t at = calls.find("InitializeCriticalSectionEx("); at != std::string::npos;
         at = calls.find("InitializeCriticalSectionEx(", at + 1))
        ++sections;
    EXPECT_EQ(sections, 4u) << "the four module records, nothing else, before the entry";
    EXPECT_NE(result.exitStatus, 255);
}

} // namespace
