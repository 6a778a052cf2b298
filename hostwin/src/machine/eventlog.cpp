// What the host keeps instead of the Windows event log: JSON lines under the machine root, one
// per event, appended with a single write each so that lines of concurrent threads and
// processes never interleave.
#include "machine/eventlog.h"
#include "machine/machine_layout.h"

#include <hostwin/owner.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace hostwin {

namespace {

class EventSource : public KernelObject {
public:
    explicit EventSource(std::u16string name)
        : KernelObject(HandleKind::EventSource), m_name(std::move(name)) {}
    const std::u16string& Name() const { return m_name; }

private:
    const std::u16string m_name;
};

} // namespace

DWORD AppendJsonLine(const std::string& path, const nlohmann::json& record) {
    // Texts come from callers as UTF-16 and may hold anything; never let one throw here.
    std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755); // existing folders are fine
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd)
        return WriteErrorFromErrno(errno);
    ssize_t written = write(fd.get(), line.data(), line.size());
    int writeError = errno;
    fd.reset();
    if (written != static_cast<ssize_t>(line.size()))
        return written < 0 ? WriteErrorFromErrno(writeError) : ERROR_CANTWRITE;
    return 0;
}

namespace {

bool KnownEventType(WORD type) {
    switch (type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_INFORMATION_TYPE:
    case EVENTLOG_AUDIT_SUCCESS:
    case EVENTLOG_AUDIT_FAILURE:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string TimeStamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

DWORD AppendEvent(EventLogName log, const std::string& source, WORD type, WORD category, DWORD id,
                  const std::vector<std::string>& strings) {
    nlohmann::json record = {{"time", TimeStamp()},  {"source", source}, {"type", type},
                             {"category", category}, {"id", id},         {"strings", strings}};
    return AppendJsonLine(log == EventLogName::System ? layout::SystemEventLog()
                                                      : layout::ApplicationEventLog(),
                          record);
}

bool FindEventLog(const std::u16string& logName, std::u16string* name, std::string* file) {
    for (const char16_t* known : {u"Application", u"System"})
        if (SameNameIgnoringCase(logName, known)) {
            *name = known;
            *file = *name == u"System" ? layout::SystemEventLog() : layout::ApplicationEventLog();
            return true;
        }
    return false;
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    HOSTWIN_FAULT_POINT(static_cast<HANDLE>(NULL));
    if (lpUNCServerName != NULL)
        return NotSupported(__func__, "remote computer", static_cast<HANDLE>(NULL));
    if (lpSourceName == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(NULL));
    LogCall(__func__, "source=%s", ToUtf8(lpSourceName).c_str());
    return InsertHandle(std::make_shared<EventSource>(ToU16(lpSourceName)));
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings,
                         LPVOID lpRawData) {
    HOSTWIN_FAULT_POINT(FALSE);
    auto source = LookupHandleAs<EventSource>(hEventLog, HandleKind::EventSource);
    if (!source)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (lpUserSid != NULL)
        return NotSupported(__func__, "user SID", FALSE);
    if (dwDataSize != 0)
        return NotSupported(__func__, "binary data", FALSE);
    if (!KnownEventType(wType))
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (wNumStrings != 0 && lpStrings == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::vector<std::string> strings;
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (lpStrings[i] == NULL)
            return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        strings.push_back(ToUtf8(lpStrings[i]));
    }
    LogCall(__func__, "source=%s type=%u category=%u id=%u strings=%u",
            ToUtf8(source->Name()).c_str(), wType, wCategory, dwEventID, wNumStrings);
    if (DWORD error = AppendEvent(EventLogName::Application, ToUtf8(source->Name()), wType,
                                  wCategory, dwEventID, strings))
        return FailWith(error, FALSE);
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (!RemoveHandle(hEventLog, HandleKind::EventSource))
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    LogCall(__func__, "%s", "");
    return TRUE;
}

} // extern "C"
