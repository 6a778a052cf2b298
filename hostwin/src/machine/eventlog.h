// Appending entries to the machine's event logs, for ReportEventW and the service control
// manager's own entries, and the JSON-lines append that message boxes share.
#pragma once

#include "base/core.h"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

namespace hostwin {

// The event logs of the machine, each a JSON-lines file below $HOSTWIN_ROOT/eventlog/.
enum class EventLogName { Application, System };

// Appends `record` as one line to the file at `path`, creating its folders, in a single write;
// 0 or a Win32 error.
DWORD AppendJsonLine(const std::string& path, const nlohmann::json& record);

// Now in UTC with milliseconds, as entries are stamped: "2024-05-01T12:00:00.123Z".
std::string TimeStamp();

// Appends one entry; 0 or the Win32 error of the write.
DWORD AppendEvent(EventLogName log, const std::string& source, WORD type, WORD category, DWORD id,
                  const std::vector<std::string>& strings);

} // namespace hostwin
