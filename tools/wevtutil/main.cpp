// wevtutil: reads the machine's event logs as the Windows command does, as far as the host's
// logs go: "qe LOG" (query-events) in text format, with /c:N and /rd:true|false. Each entry's
// description is the message of its id in the message file its source registered (the
// EventMessageFile under the log's EventLog key), with the entry's strings as inserts, or the
// platform's "cannot be found" text with the strings when there is no such message. Errors are
// written as Windows writes them ("Failed to read events. " and the system's text), and the
// exit code is the Win32 code.
#include <windows.h>

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using hostwin::FromUtf8;
using hostwin::ToUtf8;

const char16_t kEventLogKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
// FormatMessageW reads as many inserts as the text names, up to %99.
constexpr size_t kMaxInserts = 99;

struct ModulePolicy {
    using Value = HMODULE;
    static HMODULE Invalid() { return NULL; }
    static void Close(HMODULE module) { FreeLibrary(module); }
};
struct LocalPolicy {
    using Value = WCHAR*;
    static WCHAR* Invalid() { return NULL; }
    static void Close(WCHAR* text) { LocalFree(text); }
};
using UniqueModule = hostwin::UniqueResource<ModulePolicy>;
using UniqueLocalText = hostwin::UniqueResource<LocalPolicy>;

struct Event {
    std::string time;
    std::u16string source;
    WORD type = 0;
    WORD category = 0;
    DWORD id = 0;
    std::vector<std::u16string> strings;
};

struct Query {
    std::u16string log;
    bool text = false;
    bool reverse = false;
    size_t count = 0; // 0: all
};

// Windows' line breaks as the host writes them.
std::string HostLines(const std::u16string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n'))
            out += text[i];
    return ToUtf8(out);
}

std::string SystemText(DWORD error) {
    WCHAR* buffer = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, NULL);
    UniqueLocalText owner(buffer);
    if (length == 0)
        return "Error " + std::to_string(error) + ".\n";
    return HostLines(std::u16string(buffer, length));
}

int Failed(const char* what, DWORD error) {
    std::fprintf(stderr, "%s. %s", what, SystemText(error).c_str());
    return static_cast<int>(error);
}

void Usage() {
    std::printf("Windows Events Command Line Utility.\n\n"
                "Usage:\n\n"
                "wevtutil COMMAND [ARGUMENT [ARGUMENT] ...] [/OPTION:VALUE [/OPTION:VALUE] ...]\n\n"
                "Commands:\n\n"
                "qe | query-events          Query events from a log.\n\n"
                "Options of qe:\n\n"
                "/c:<Count> | /count:<Count>                 Maximum number of events to read.\n"
                "/rd:<Reverse> | /reversedirection:<Reverse> true for the newest first.\n"
                "/f:<Format> | /format:<Format>              text (this host reads no other "
                "format).\n");
}

bool ReadBoolean(const std::u16string& value, bool* result) {
    if (value.empty() || lstrcmpiW(value.c_str(), u"true") == 0)
        *result = true;
    else if (lstrcmpiW(value.c_str(), u"false") == 0)
        *result = false;
    else
        return false;
    return true;
}

// The arguments after "qe": the log name and options "/name:value" (or "-name:value").
DWORD ParseQuery(int argc, char** argv, Query* query) {
    bool haveFormat = false;
    for (int i = 2; i < argc; ++i) {
        std::u16string argument = FromUtf8(argv[i]);
        if (argument.empty() || (argument[0] != u'/' && argument[0] != u'-')) {
            if (!query->log.empty())
                return ERROR_INVALID_PARAMETER;
            query->log = argument;
            continue;
        }
        size_t colon = argument.find(u':');
        std::u16string name = hostwin::FoldName(argument.substr(1, colon - 1));
        std::u16string value = colon == std::u16string::npos ? u"" : argument.substr(colon + 1);
        if (name == u"F" || name == u"FORMAT") {
            if (lstrcmpiW(value.c_str(), u"xml") == 0 ||
                lstrcmpiW(value.c_str(), u"renderedxml") == 0)
                return ERROR_NOT_SUPPORTED;
            if (lstrcmpiW(value.c_str(), u"text") != 0)
                return ERROR_INVALID_PARAMETER;
            haveFormat = query->text = true;
        } else if (name == u"C" || name == u"COUNT") {
            std::string digits = ToUtf8(value);
            if (digits.empty() || digits.size() > 9 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                return ERROR_INVALID_PARAMETER;
            query->count = std::stoul(digits);
            if (query->count == 0)
                return ERROR_INVALID_PARAMETER;
        } else if (name == u"RD" || name == u"REVERSEDIRECTION") {
            if (!ReadBoolean(value, &query->reverse))
                return ERROR_INVALID_PARAMETER;
        } else if (name == u"Q" || name == u"QUERY" || name == u"LF" || name == u"LOGFILE" ||
                   name == u"E" || name == u"ELEMENT" || name == u"BM" || name == u"BOOKMARK" ||
                   name == u"SBM" || name == u"SAVEBOOKMARK" || name == u"UNI" ||
                   name == u"UNICODE") {
            return ERROR_NOT_SUPPORTED;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (query->log.empty())
        return ERROR_INVALID_PARAMETER;
    // The command's own default is XML, which this host does not write.
    return haveFormat ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

// One line of the log; false when it is not a whole entry.
bool ReadEvent(const std::string& line, Event* event) {
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object())
        return false;
    auto number = [&](const char* key, DWORD limit, DWORD* value) {
        auto it = record.find(key);
        if (it == record.end() || !it->is_number_unsigned() ||
            it->get<unsigned long long>() > limit)
            return false;
        *value = static_cast<DWORD>(it->get<unsigned long long>());
        return true;
    };
    DWORD type = 0, category = 0;
    if (!number("type", 0xFFFF, &type) || !number("category", 0xFFFF, &category) ||
        !number("id", 0xFFFFFFFF, &event->id))
        return false;
    event->type = static_cast<WORD>(type);
    event->category = static_cast<WORD>(category);
    auto time = record.find("time");
    auto source = record.find("source");
    auto strings = record.find("strings");
    if (time == record.end() || !time->is_string() || source == record.end() ||
        !source->is_string() || strings == record.end() || !strings->is_array())
        return false;
    event->time = time->get<std::string>();
    std::optional<std::u16string> name = hostwin::Utf8ToUtf16(source->get<std::string>());
    if (!name)
        return false;
    event->source = *name;
    for (const nlohmann::json& text : *strings) {
        std::optional<std::u16string> value =
            text.is_string() ? hostwin::Utf8ToUtf16(text.get<std::string>()) : std::nullopt;
        if (!value)
            return false;
        event->strings.push_back(*value);
    }
    return true;
}

// "2024-05-01T12:00:00.123Z" (UTC) as the local time wevtutil shows; empty when malformed.
std::string LocalDate(const std::string& stamp) {
    std::tm utc{};
    int millis = 0;
    char zone = 0;
    if (std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &zone) != 8 ||
        zone != 'Z')
        return "";
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    std::time_t seconds = timegm(&utc);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  millis);
    return text;
}

// The registered message files of the source, in their order (the value lists them with ';').
std::vector<std::u16string> MessageFiles(const std::u16string& log, const std::u16string& source) {
    hostwin::UniqueKey key;
    std::u16string path = kEventLogKey + log + u"\\" + source;
    if (source.empty() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), u"EventMessageFile", NULL, &type, NULL, &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::vector<WCHAR> data(size / sizeof(WCHAR) + 1, 0);
    if (RegQueryValueExW(key.get(), u"EventMessageFile", NULL, &type,
                         reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return {};
    std::u16string list(data.data());
    std::vector<std::u16string> files;
    for (size_t start = 0; start <= list.size();) {
        size_t end = std::min(list.find(u';', start), list.size());
        if (end > start)
            files.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return files;
}

// The entry's description: its message with the strings inserted, or the platform's text.
std::string Description(const std::u16string& log, const Event& event) {
    // Inserts the entry has no string for stay as written, as the event viewer shows them.
    std::vector<std::u16string> texts = event.strings;
    for (size_t i = texts.size(); i < kMaxInserts; ++i)
        texts.push_back(u"%" + FromUtf8(std::to_string(i + 1)));
    std::vector<DWORD_PTR> inserts;
    for (const std::u16string& text : texts)
        inserts.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    bool resourceFound = false;
    for (const std::u16string& file : MessageFiles(log, event.source)) {
        UniqueModule module(LoadLibraryExW(
            file.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        if (!module)
            continue;
        WCHAR* buffer = NULL;
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                          FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                      module.get(), event.id, 0, reinterpret_cast<LPWSTR>(&buffer),
                                      0, reinterpret_cast<va_list*>(inserts.data()));
        UniqueLocalText text(buffer);
        if (length > 0)
            return HostLines(std::u16string(buffer, length));
        resourceFound = resourceFound || GetLastError() == ERROR_MR_MID_NOT_FOUND;
    }
    std::string text = "The description for Event ID " + std::to_string(event.id & 0xFFFF) +
                       " from source " + ToUtf8(event.source) +
                       " cannot be found. Either the component that raises this event is not "
                       "installed on your local computer or the installation is corrupted. You "
                       "can install or repair the component on the local computer.\n\n"
                       "If the event originated on another computer, the display information had "
                       "to be saved with the event.\n\n"
                       "The following information was included with the event: \n";
    for (const std::u16string& value : event.strings)
        text += "\n" + HostLines(value);
    if (resourceFound)
        text += "\n\nThe message resource is present but the message is not found in the "
                "string/message table";
    return text;
}

const char* LevelName(WORD type) {
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return "Error";
    case EVENTLOG_WARNING_TYPE:
        return "Warning";
    default:
        return "Information";
    }
}

const char* KeywordName(WORD type) {
    switch (type) {
    case EVENTLOG_AUDIT_SUCCESS:
        return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE:
        return "Audit Failure";
    default:
        return "Classic";
    }
}

void PrintEvent(size_t index, const std::u16string& log, const Event& event,
                const std::string& date, const std::string& computer) {
    std::string task = event.category == 0 ? "N/A" : "(" + std::to_string(event.category) + ")";
    std::printf("Event[%zu]:\n"
                "  Log Name: %s\n"
                "  Source: %s\n"
                "  Date: %s\n"
                "  Event ID: %u\n"
                "  Task: %s\n"
                "  Level: %s\n"
                "  Opcode: N/A\n"
                "  Keyword: %s\n"
                "  User: N/A\n"
                "  User Name: N/A\n"
                "  Computer: %s\n"
                "  Description: \n%s\n\n",
                index, ToUtf8(log).c_str(), ToUtf8(event.source).c_str(), date.c_str(),
                event.id & 0xFFFF, task.c_str(), LevelName(event.type), KeywordName(event.type),
                computer.c_str(), Description(log, event).c_str());
}

int QueryEvents(int argc, char** argv) {
    Query query;
    if (DWORD error = ParseQuery(argc, argv, &query))
        return Failed("Failed to read events", error);
    std::u16string log;
    std::string file;
    if (!hostwin::FindEventLog(query.log, &log, &file))
        return Failed("Failed to read events", ERROR_EVT_CHANNEL_NOT_FOUND);

    // A log nobody wrote to yet has no file and no entries.
    std::vector<std::pair<size_t, std::string>> lines; // line number, text
    std::ifstream input(file, std::ios::binary);
    if (!input && access(file.c_str(), F_OK) == 0)
        return Failed("Failed to read events", ERROR_ACCESS_DENIED);
    size_t number = 0;
    for (std::string line; std::getline(input, line);)
        if (++number, !line.empty())
            lines.emplace_back(number, line);
    if (query.reverse)
        std::reverse(lines.begin(), lines.end());

    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = 0;
    DWORD result = ERROR_SUCCESS;
    size_t shown = 0;
    for (const auto& [lineNumber, line] : lines) {
        if (query.count != 0 && shown == query.count)
            break;
        Event event;
        std::string date;
        if (!ReadEvent(line, &event) || (date = LocalDate(event.time)).empty()) {
            // The entries around a damaged line are still shown; the end reports it.
            std::fflush(stdout);
            std::fprintf(stderr, "Failed to read the event at line %zu of %s. %s", lineNumber,
                         file.c_str(), SystemText(ERROR_EVENTLOG_FILE_CORRUPT).c_str());
            result = ERROR_EVENTLOG_FILE_CORRUPT;
            continue;
        }
        PrintEvent(shown++, log, event, date, host);
    }
    return static_cast<int>(result);
}

int Wevtutil(int argc, char** argv) {
    if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0)
        return Failed("Failed to read the command line", ERROR_NO_UNICODE_TRANSLATION);
    if (argc < 2 || std::string(argv[1]) == "/?" || std::string(argv[1]) == "-?") {
        Usage();
        return 0;
    }
    std::u16string command = FromUtf8(argv[1]);
    if (lstrcmpiW(command.c_str(), u"qe") == 0 || lstrcmpiW(command.c_str(), u"query-events") == 0)
        return QueryEvents(argc, argv);
    std::fprintf(stderr, "Unknown command %s. %s", argv[1],
                 SystemText(ERROR_INVALID_PARAMETER).c_str());
    return ERROR_INVALID_PARAMETER;
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Wevtutil);
}
