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
