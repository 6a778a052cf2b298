// Test fixtures: every test runs on a fresh machine root and must leave no handle open.
#pragma once

#include <hostwin/control.h>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testing_support {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& Root() const { return m_root; }
    // Host path of a file below the machine root.
    std::string RootPath(const std::string& relative) const { return m_root + "/" + relative; }
    // Fails the test when any handle kind has more open handles than at SetUp.
    void ExpectNoLeakedHandles() const;

private:
    std::string m_root;
    hostwin::HandleCounts m_baseline{};
};

// Processes of this machine running `imageName`, by a snapshot walk; -1 when none can be taken.
int AgentCount(const std::u16string& imageName = u"pellard.exe");

// `relative` below the build folder this test binary was built in (the folder above its own).
const char* InBuild(const char* relative);

// A host program run to its end, out of process, on the given machine root.
struct ProgramResult {
    int exitStatus = -1; // low 8 bits of the exit code; -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, when one did
    std::string out;
    std::string err;
    pid_t pid = -1;
};
// `folder`: the program's current folder (default: this process's).
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& extraEnv = {},
                         const std::string& folder = "");

// Starts a program in the background and returns its pid (the caller ends and reaps it).
int SpawnProgram(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& extraEnv = {});

// Texts of the debug reports captured so far at one report type (_CRT_WARN, _CRT_ASSERT), UTF-8.
std::vector<std::string> DebugReportTexts(int reportType);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

} // namespace testing_support

// The host programs tests run, found below the build folder (the build names them relative to it).
#ifdef TYPELIB_PROBE_EXE_IN_BUILD
#define TYPELIB_PROBE_EXE ::testing_support::InBuild(TYPELIB_PROBE_EXE_IN_BUILD)
#endif
#ifdef TOLLIVAR_EXE_IN_BUILD
#define TOLLIVAR_EXE ::testing_support::InBuild(TOLLIVAR_EXE_IN_BUILD)
#endif
#ifdef EDGEPROBE_EXE_IN_BUILD
#define EDGEPROBE_EXE ::testing_support::InBuild(EDGEPROBE_EXE_IN_BUILD)
#endif
#ifdef PELLARD_EXE_IN_BUILD
#define PELLARD_EXE ::testing_support::InBuild(PELLARD_EXE_IN_BUILD)
#endif
#ifdef TASKLIST_EXE_IN_BUILD
#define TASKLIST_EXE ::testing_support::InBuild(TASKLIST_EXE_IN_BUILD)
#endif
#ifdef TASKKILL_EXE_IN_BUILD
#define TASKKILL_EXE ::testing_support::InBuild(TASKKILL_EXE_IN_BUILD)
#endif
#ifdef REG_EXE_IN_BUILD
#define REG_EXE ::testing_support::InBuild(REG_EXE_IN_BUILD)
#endif
#ifdef SC_EXE_IN_BUILD
#define SC_EXE ::testing_support::InBuild(SC_EXE_IN_BUILD)
#endif
#ifdef WEVTUTIL_EXE_IN_BUILD
#define WEVTUTIL_EXE ::testing_support::InBuild(WEVTUTIL_EXE_IN_BUILD)
#endif
#ifdef TOLLIVARMSG_DLL_IN_BUILD
#define TOLLIVARMSG_DLL ::testing_support::InBuild(TOLLIVARMSG_DLL_IN_BUILD)
#endif
#ifdef TOLLIVAR_WINDOWS_EXE_IN_BUILD
#define TOLLIVAR_WINDOWS_EXE ::testing_support::InBuild(TOLLIVAR_WINDOWS_EXE_IN_BUILD)
#endif
