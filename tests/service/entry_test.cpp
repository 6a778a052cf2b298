// The process entry: module-record failures make it refuse to run, and errors that reach it
// become the exit code instead of a crash.
#include "machine.h"

#include "entry.h"

#include <string>

using testing_support::MachineTest;
using testing_support::RunProgram;

namespace {

class EntryTest : public MachineTest {};

TEST_F(EntryTest, AFrameworkErrorReachingTheEntryBecomesTheExitCode) {
    EXPECT_EQ(RunEntry([]() -> int { ThrowHResult(E_OUTOFMEMORY); }), E_OUTOFMEMORY);
    EXPECT_EQ(RunEntry([] { return 7; }), 7);
}

TEST_F(EntryTest, AStructuredExceptionEndsTheProcessWithItsCode) {
    setenv("HOSTWIN_SHOW_EXIT_CODE", "1", 1);
    EXPECT_EXIT(RunEntry([]() -> int {
                    RaiseStructuredException(EXCEPTION_ARRAY_BOUNDS_EXCEEDED,
                                             EXCEPTION_NONCONTINUABLE);
                }),
                ::testing::ExitedWithCode(0x8C), "exit code 0xC000008C\n");
    unsetenv("HOSTWIN_SHOW_EXIT_CODE");
}

// tollivar.exe with the nth critical-section initialisation failing, as static
// initialisation meets them: base record, COM record, window record, module.
TEST_F(EntryTest, EachRecordsInitialisationFailureStopsTheEntry) {
    struct Case {
        int nth;
        const char* trace; // the record's own report, in the debug output
        int failedChecks;  // "0" reports, the entry's own included
    } cases[] = {
        {1, nullptr, 1},
        {2, "traceCOM - ERROR : Unable to initialize critical section in CComModuleRecord\n", 2},
        {3, "traceWindowing - ERROR : Unable to initialize critical section in WindowModuleInit\n",
         3},
        {4, "traceGeneral - ERROR : Unable to initialize critical section in CModuleBase\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("failing initialisation " + std::to_string(c.nth));
        std::string callLog = RootPath("calls-" + std::to_string(c.nth) + ".log");
        testing_support::ProgramResult result = RunProgram(
            {TOLLIVAR_EXE},
            {{"HOSTWIN_ROOT", Root()},
             {"HOSTWIN_FAULTS", "InitializeCriticalSectionEx@" + std::to_string(c.nth) + "=1450"},
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
