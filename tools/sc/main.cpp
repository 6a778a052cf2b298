// sc: the service control manager's command, with the Windows command's syntax, output shape and
// exit codes (0, or the Win32 error code of the call that failed).
#include <windows.h>
#include <winsvc.h>

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using hostwin::FromUtf8;
using hostwin::ToUtf8;

// The system's message for each code this command can meet.
std::string MessageFor(DWORD error) {
    static const std::map<DWORD, const char*> messages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
        {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
        {ERROR_SERVICE_REQUEST_TIMEOUT,
         "The service did not respond to the start or control request in a timely fashion."},
        {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
        {ERROR_SERVICE_DISABLED, "The service cannot be started, either because it is disabled "
                                 "or because it has no enabled devices associated with it."},
        {ERROR_SERVICE_DOES_NOT_EXIST,
         "The specified service does not exist as an installed service."},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
         "The service cannot accept control messages at this time."},
        {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
         "The service process could not connect to the service controller."},
        {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
        {ERROR_SERVICE_DEPENDENCY_FAIL, "The dependency service or group failed to start."},
        {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
        {ERROR_SERVICE_EXISTS, "The specified service already exists."},
        {ERROR_SERVICE_DEPENDENCY_DELETED,
         "The dependency service does not exist or has been marked for deletion."},
        {ERROR_DUPLICATE_SERVICE_NAME,
         "The name is already in use as either a service name or a service display name."},
    };
    auto it = messages.find(error);
    return it != messages.end() ? it->second : "Error " + std::to_string(error) + ".";
}

int Failed(const char* call, DWORD error) {
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", call, error, MessageFor(error).c_str());
    return static_cast<int>(error);
}

int Usage() {
    std::printf(
        "DESCRIPTION:\n        SC is a command line program used for communicating with the\n"
        "        Service Control Manager and services.\n"
        "USAGE:\n        sc <server> [command] [service name] <option1> <option2>...\n\n"
        "        Commands: query queryex start stop control config description qc\n"
        "                  qdescription delete create\n");
    return ERROR_INVALID_PARAMETER;
}

const char* TypeName(DWORD type) {
    switch (type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) {
    case SERVICE_WIN32_OWN_PROCESS:
        return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS:
        return "WIN32_SHARE_PROCESS";
    default:
        return "";
    }
}

const char* StateName(DWORD state) {
    static const char* const names[] = {
        "",        "STOPPED",          "START_PENDING", "STOP_PENDING",
        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < 8 ? names[state] : "";
}

void PrintStatus(const std::u16string& name, const SERVICE_STATUS_PROCESS& status, bool extended,
                 const std::u16string* displayName = nullptr) {
    DWORD accepted = status.dwControlsAccepted;
    std::printf("\nSERVICE_NAME: %s \n", ToUtf8(name).c_str());
    if (displayName)
        std::printf("DISPLAY_NAME: %s\n", ToUtf8(*displayName).c_str());
    std::printf("        TYPE               : %x  %s  \n", status.dwServiceType,
                TypeName(status.dwServiceType));
    std::printf("        STATE              : %u  %s \n", status.dwCurrentState,
                StateName(status.dwCurrentState));
    std::printf("                                (%s, %s, %s)\n",
                accepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
                accepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? "PAUSABLE" : "NOT_PAUSABLE",
                accepted & SERVICE_ACCEPT_SHUTDOWN ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
    std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", status.dwWin32ExitCode,
                status.dwWin32ExitCode);
    std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", status.dwServiceSpecificExitCode,
                status.dwServiceSpecificExitCode);
    std::printf("        CHECKPOINT         : 0x%x\n", status.dwCheckPoint);
    std::printf("        WAIT_HINT          : 0x%x\n", status.dwWaitHint);
    if (extended) {
        std::printf("        PID                : %u\n", status.dwProcessId);
        std::printf("        FLAGS              : \n");
    }
}

SERVICE_STATUS_PROCESS Extend(const SERVICE_STATUS& status) {
    SERVICE_STATUS_PROCESS extended{};
    extended.dwServiceType = status.dwServiceType;
    extended.dwCurrentState = status.dwCurrentState;
    extended.dwControlsAccepted = status.dwControlsAccepted;
    extended.dwWin32ExitCode = status.dwWin32ExitCode;
    extended.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    extended.dwCheckPoint = status.dwCheckPoint;
    extended.dwWaitHint = status.dwWaitHint;
    return extended;
}

// The display name, or the name when it cannot be read.
std::u16string DisplayNameOf(SC_HANDLE service, const std::u16string& name) {
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    std::vector<unsigned char> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        return name;
    return config->lpDisplayName;
}

// Prints the status of one service, with its display name when listing; 0 or the error of the
// call that failed.
int QueryOne(SC_HANDLE manager, const std::u16string& name, bool extended, const char* openCall,
             bool listing = false) {
    UniqueScHandle service(
        OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service)
        return Failed(openCall, GetLastError());
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        return Failed("QueryServiceStatusEx", GetLastError());
    const std::u16string displayName = DisplayNameOf(service.get(), name);
    PrintStatus(name, status, extended, listing ? &displayName : nullptr);
    return 0;
}

int Query(SC_HANDLE manager, const std::vector<std::u16string>& args, bool extended) {
    if (!args.empty())
        return QueryOne(manager, args[0], extended, "EnumQueryServicesStatus:OpenService");
    // Without a name: every active service.
    for (const std::u16string& name : hostwin::InstalledServices()) {
        UniqueScHandle service(OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        if (service && QueryServiceStatus(service.get(), &status) &&
            status.dwCurrentState != SERVICE_STOPPED)
            QueryOne(manager, name, extended, "OpenService", true);
    }
    return 0;
}

// "key= value" pairs after the service name; false on a key without its value.
bool ParseOptions(const std::vector<std::u16string>& args, size_t from,
                  std::map<std::string, std::u16string>& options) {
    for (size_t i = from; i < args.size(); i += 2) {
        std::string key = ToUtf8(args[i]);
        if (key.empty() || key.back() != '=' || i + 1 >= args.size())
            return false;
        key.pop_back();
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        options[key] = args[i + 1];
    }
    return true;
}

// The number a word of an option stands for; false for a word the option does not take.
bool WordValue(const std::map<std::string, DWORD>& words, const std::u16string& text,
               DWORD& value) {
    auto it = words.find(ToUtf8(text));
    if (it == words.end())
        return false;
    value = it->second;
    return true;
}

const std::map<std::string, DWORD> kStartTypes = {
    {"auto", SERVICE_AUTO_START}, {"demand", SERVICE_DEMAND_START}, {"disabled", SERVICE_DISABLED}};
const std::map<std::string, DWORD> kServiceTypes = {{"own", SERVICE_WIN32_OWN_PROCESS},
                                                    {"share", SERVICE_WIN32_SHARE_PROCESS}};
const std::map<std::string, DWORD> kErrorControls = {{"ignore", SERVICE_ERROR_IGNORE},
                                                     {"normal", SERVICE_ERROR_NORMAL},
                                                     {"severe", SERVICE_ERROR_SEVERE},
                                                     {"critical", SERVICE_ERROR_CRITICAL}};

// "A/B" as the NUL-separated list the calls take.
std::u16string DependencyList(const std::u16string& text) {
    std::u16string list;
    for (char16_t c : text)
        list += c == u'/' ? u'\0' : c;
    list += u'\0';
    list += u'\0';
    return list;
}

struct Config {
    DWORD type = SERVICE_NO_CHANGE, start = SERVICE_NO_CHANGE, error = SERVICE_NO_CHANGE;
    const std::u16string* binaryPath = nullptr;
    const std::u16string* displayName = nullptr;
    std::u16string dependencies;
    bool hasDependencies = false;
};

bool ReadConfig(const std::map<std::string, std::u16string>& options, Config& config) {
    for (const auto& [key, value] : options) {
        if (key == "binpath")
            config.binaryPath = &value;
        else if (key == "displayname")
            config.displayName = &value;
        else if (key == "depend") {
            config.dependencies = DependencyList(value);
            config.hasDependencies = true;
        } else if (key == "start") {
            if (!WordValue(kStartTypes, value, config.start))
                return false;
        } else if (key == "type") {
            if (!WordValue(kServiceTypes, value, config.type))
                return false;
        } else if (key == "error") {
            if (!WordValue(kErrorControls, value, config.error))
                return false;
        } else
            return false;
    }
    return true;
}

int Create(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    std::map<std::string, std::u16string> options;
    Config config;
    if (args.empty() || !ParseOptions(args, 1, options) || !ReadConfig(options, config) ||
        !config.binaryPath)
        return Usage();
    UniqueScHandle service(
        CreateServiceW(manager, args[0].c_str(),
                       config.displayName ? config.displayName->c_str() : NULL, SERVICE_ALL_ACCESS,
                       config.type == SERVICE_NO_CHANGE ? SERVICE_WIN32_OWN_PROCESS : config.type,
                       config.start == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : config.start,
                       config.error == SERVICE_NO_CHANGE ? SERVICE_ERROR_NORMAL : config.error,
                       config.binaryPath->c_str(), NULL, NULL,
                       config.hasDependencies ? config.dependencies.c_str() : NULL, NULL, NULL));
    if (!service)
        return Failed("CreateService", GetLastError());
    std::printf("[SC] CreateService SUCCESS\n");
    return 0;
}

int ChangeConfig(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    std::map<std::string, std::u16string> options;
    Config config;
    if (args.empty() || !ParseOptions(args, 1, options) || !ReadConfig(options, config))
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        return Failed("OpenService", GetLastError());
    if (!ChangeServiceConfigW(service.get(), config.type, config.start, config.error,
                              config.binaryPath ? config.binaryPath->c_str() : NULL, NULL, NULL,
                              config.hasDependencies ? config.dependencies.c_str() : NULL, NULL,
                              NULL, config.displayName ? config.displayName->c_str() : NULL))
        return Failed("ChangeServiceConfig", GetLastError());
    std::printf("[SC] ChangeServiceConfig SUCCESS\n");
    return 0;
}

int Describe(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    if (args.empty())
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        return Failed("OpenService", GetLastError());
    // The words after the name make up the text.
    std::u16string text;
    for (size_t i = 1; i < args.size(); ++i)
        text += (i > 1 ? u" " : u"") + args[i];
    SERVICE_DESCRIPTIONW description{text.data()};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
        return Failed("ChangeServiceConfig2", GetLastError());
    std::printf("[SC] ChangeServiceConfig2 SUCCESS\n");
    return 0;
}

const char* StartTypeName(DWORD start) {
    switch (start) {
    case SERVICE_AUTO_START:
        return "2   AUTO_START";
    case SERVICE_DEMAND_START:
        return "3   DEMAND_START";
    case SERVICE_DISABLED:
        return "4   DISABLED";
    default:
        return "";
    }
}

const char* ErrorControlName(DWORD error) {
    static const char* const names[] = {"0   IGNORE", "1   NORMAL", "2   SEVERE", "3   CRITICAL"};
    return error < 4 ? names[error] : "";
}

int QueryConfig(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    if (args.empty())
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), NULL, 0, &needed);
    std::vector<unsigned char> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return Failed("QueryServiceConfig", GetLastError());
    std::printf("[SC] QueryServiceConfig SUCCESS\n\n");
    std::printf("SERVICE_NAME: %s\n", ToUtf8(args[0]).c_str());
    std::printf("        TYPE               : %x  %s \n", config->dwServiceType,
                TypeName(config->dwServiceType));
    std::printf("        START_TYPE         : %s\n", StartTypeName(config->dwStartType));
    std::printf("        ERROR_CONTROL      : %s\n", ErrorControlName(config->dwErrorControl));
    std::printf("        BINARY_PATH_NAME   : %s\n", ToUtf8(config->lpBinaryPathName).c_str());
    std::printf("        LOAD_ORDER_GROUP   : %s\n", ToUtf8(config->lpLoadOrderGroup).c_str());
    std::printf("        TAG                : %u\n", config->dwTagId);
    std::printf("        DISPLAY_NAME       : %s\n", ToUtf8(config->lpDisplayName).c_str());
    const WCHAR* dependency = config->lpDependencies;
    std::printf("        DEPENDENCIES       : %s\n", ToUtf8(dependency).c_str());
    if (*dependency) {
        for (dependency += std::char_traits<char16_t>::length(dependency) + 1; *dependency;
             dependency += std::char_traits<char16_t>::length(dependency) + 1)
            std::printf("                           : %s\n", ToUtf8(dependency).c_str());
    }
    std::printf("        SERVICE_START_NAME : %s\n", ToUtf8(config->lpServiceStartName).c_str());
    return 0;
}

int QueryDescription(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    if (args.empty())
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, NULL, 0, &needed);
    std::vector<unsigned char> buffer(needed ? needed : sizeof(SERVICE_DESCRIPTIONW));
    if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed))
        return Failed("QueryServiceConfig2", GetLastError());
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    std::printf("[SC] QueryServiceConfig2 SUCCESS\n\n");
    std::printf("SERVICE_NAME: %s\n", ToUtf8(args[0]).c_str());
    std::printf("DESCRIPTION:  %s\n",
                description->lpDescription ? ToUtf8(description->lpDescription).c_str() : "");
    return 0;
}

int Start(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    if (args.empty())
        return Usage();
    UniqueScHandle service(
        OpenServiceW(manager, args[0].c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service)
        return Failed("OpenService", GetLastError());
    if (!StartServiceW(service.get(), 0, NULL))
        return Failed("StartService", GetLastError());
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        PrintStatus(args[0], status, true);
    return 0;
}

// stop and control: one control code, then the status the manager answered with.
int Control(SC_HANDLE manager, const std::u16string& name, DWORD control, DWORD access) {
    UniqueScHandle service(OpenServiceW(manager, name.c_str(), access));
    if (!service)
        return Failed("OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), control, &status))
        return Failed("ControlService", GetLastError());
    PrintStatus(name, Extend(status), false);
    return 0;
}

DWORD AccessFor(DWORD control) {
    if (control == SERVICE_CONTROL_STOP)
        return SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE)
        return SERVICE_INTERROGATE;
    return control >= 128 ? SERVICE_USER_DEFINED_CONTROL : SERVICE_PAUSE_CONTINUE;
}

int Delete(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    if (args.empty())
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), 0x00010000 /* DELETE */));
    if (!service)
        return Failed("OpenService", GetLastError());
    if (!DeleteService(service.get()))
        return Failed("DeleteService", GetLastError());
    std::printf("[SC] DeleteService SUCCESS\n");
    return 0;
}

int Sc(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(FromUtf8(argv[i]));
    if (!args.empty() && args[0].rfind(u"\\\\", 0) == 0)
        args.erase(args.begin()); // the local computer named as a server
    if (args.empty())
        return Usage();
    const std::string command = ToUtf8(args[0]);
    args.erase(args.begin());

    const bool reads =
        command == "query" || command == "queryex" || command == "qc" || command == "qdescription";
    const DWORD managerAccess = command == "create" ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT
                                : reads ? SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE
                                        : SC_MANAGER_CONNECT;
    UniqueScHandle manager(OpenSCManagerW(NULL, NULL, managerAccess));
    if (!manager)
        return Failed("OpenSCManager", GetLastError());

    if (command == "query" || command == "queryex")
        return Query(manager.get(), args, command == "queryex");
    if (command == "create")
        return Create(manager.get(), args);
    if (command == "config")
        return ChangeConfig(manager.get(), args);
    if (command == "description")
        return Describe(manager.get(), args);
    if (command == "qc")
        return QueryConfig(manager.get(), args);
    if (command == "qdescription")
        return QueryDescription(manager.get(), args);
    if (command == "start")
        return Start(manager.get(), args);
    if (command == "stop") {
        if (args.empty())
            return Usage();
        return Control(manager.get(), args[0], SERVICE_CONTROL_STOP, SERVICE_STOP);
    }
    if (command == "control") {
        if (args.size() != 2)
            return Usage();
        char* end = nullptr;
        std::string code = ToUtf8(args[1]);
        unsigned long value = std::strtoul(code.c_str(), &end, 10);
        if (code.empty() || *end != 0)
            return Usage();
        DWORD control = static_cast<DWORD>(value);
        return Control(manager.get(), args[0], control, AccessFor(control));
    }
    if (command == "delete")
        return Delete(manager.get(), args);
    return Usage();
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Sc);
}
