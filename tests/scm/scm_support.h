// Shared pieces of the service control manager tests: a machine with tollivar's AppID entry and
// a service entry for it, and ways to wait on the service without timing anything.
#pragma once

#include "machine.h"
#include "service_manager.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace scm_support {

// Far above any step; reached only by a fault.
constexpr auto kBound = std::chrono::seconds(20);

// The AppID key tollivar reads at start, with or without its "LocalService" value.
void WriteAppId(bool asService);
// tollivar.exe's path as the manager's binary path, quoted.
std::u16string TollivarBinaryPath();
// C:\pellard\bin\pellard.exe on the test's machine.
void InstallAgent(const std::string& root);

// Polls `done` until it holds or the bound passes.
bool AwaitCondition(const std::function<bool()>& done);

using testing_support::AgentCount;

// The event log entries' texts (first insertion string) of `log` ("Application", "System"),
// of every entry or only of those with the id `id`.
std::vector<std::string> EventTexts(const std::string& root, const std::string& log,
                                    unsigned id = 0);
// The inserts of each entry of `log` with the id `id`, in order.
std::vector<std::vector<std::string>> EventInserts(const std::string& root, const std::string& log,
                                                   unsigned id);

// The handle kinds the process writing `reportPath` (HOSTWIN_HANDLE_REPORT) still held at its
// exit, "kind<TAB>count" each; "no report" when it did not write one within the bound, as a
// process ended by std::terminate or a kill does not.
std::string HandlesLeftOpen(const std::string& reportPath);

} // namespace scm_support
