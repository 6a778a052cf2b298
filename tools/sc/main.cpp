// sc: the service control manager's command, with the Windows command's syntax, output shape and
// exit codes (0, or the Win32 error code of the call that failed).
#include <windows.h>
#include <winsvc.h>

#include "sc_args.h"

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

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
        {ERROR_DISK_FULL, "There is not enough space on the disk."},
        {ERROR_MORE_DATA, "More data is available."},
        {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
        {ERROR_CANTREAD, "The configuration registry key could not be read."},
        {ERROR_CANTWRITE, "The configuration registry key could not be written."},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this "
                                  "command."},
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

// One call of the listing from `*resume`; the records it returned, false with the error printed
// when it failed otherwise than for more data.
bool EnumerateOnce(SC_HANDLE manager, const sc::QueryRequest& request, DWORD size,
                   std::vector<unsigned char>& buffer, DWORD& returned, DWORD& needed,
                   DWORD& resume, DWORD& error) {
    buffer.assign(size ? size : 1, 0);
    error = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, request.type, request.state,
                                  buffer.data(), size, &needed, &returned, &resume,
                                  request.group ? request.group->c_str() : NULL)
                ? ERROR_SUCCESS
                : GetLastError();
    return error == ERROR_SUCCESS || error == ERROR_MORE_DATA;
}

void PrintRecords(const std::vector<unsigned char>& buffer, DWORD returned, bool extended) {
    const auto* records = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
        const std::u16string displayName = records[i].lpDisplayName;
        PrintStatus(records[i].lpServiceName, records[i].ServiceStatusProcess, extended,
                    &displayName);
    }
}

int Query(SC_HANDLE manager, const std::vector<std::u16string>& args, bool extended) {
    sc::QueryRequest request;
    if (!sc::ReadQuery(args, request))
        return Usage();
    if (request.name)
        return QueryOne(manager, *request.name, extended, "EnumQueryServicesStatus:OpenService");
    std::vector<unsigned char> buffer;
    DWORD returned = 0, needed = 0, resume = request.resumeIndex, error = 0;
    if (request.bufferSize) {
        // One piece of the size asked for, as the Windows command reads it.
        if (!EnumerateOnce(manager, request, *request.bufferSize, buffer, returned, needed, resume,
                           error))
            return Failed("EnumQueryServicesStatus:EnumServicesStatusEx", error);
        PrintRecords(buffer, returned, extended);
        if (error == ERROR_MORE_DATA) {
            Failed("EnumQueryServicesStatus:EnumServicesStatusEx", error);
            std::printf("Enum: more data, need %u bytes start resume at index %u\n", needed,
                        resume);
            return static_cast<int>(error);
        }
        return 0;
    }
    DWORD size = 0;
    do {
        if (!EnumerateOnce(manager, request, size, buffer, returned, needed, resume, error))
            return Failed("EnumQueryServicesStatus:EnumServicesStatusEx", error);
        PrintRecords(buffer, returned, extended);
        size = needed;
    } while (error == ERROR_MORE_DATA);
    return 0;
}

int Create(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    sc::ConfigRequest config;
    if (args.empty() || !sc::ReadConfig(args, 1, config) || !config.binaryPath)
        return Usage();
    UniqueScHandle service(
        CreateServiceW(manager, args[0].c_str(),
                       config.displayName ? config.displayName->c_str() : NULL, SERVICE_ALL_ACCESS,
                       config.type == SERVICE_NO_CHANGE ? SERVICE_WIN32_OWN_PROCESS : config.type,
                       config.start == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : config.start,
                       config.error == SERVICE_NO_CHANGE ? SERVICE_ERROR_NORMAL : config.error,
                       config.binaryPath->c_str(), NULL, NULL,
                       config.dependencies ? config.dependencies->c_str() : NULL, NULL, NULL));
    if (!service)
        return Failed("CreateService", GetLastError());
    std::printf("[SC] CreateService SUCCESS\n");
    return 0;
}

int ChangeConfig(SC_HANDLE manager, const std::vector<std::u16string>& args) {
    sc::ConfigRequest config;
    if (args.empty() || !sc::ReadConfig(args, 1, config))
        return Usage();
    UniqueScHandle service(OpenServiceW(manager, args[0].c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        return Failed("OpenService", GetLastError());
    if (!ChangeServiceConfigW(service.get(), config.type, config.start, config.error,
                              config.binaryPath ? config.binaryPath->c_str() : NULL, NULL, NULL,
                              config.dependencies ? config.dependencies->c_str() : NULL, NULL, NULL,
                              config.displayName ? config.displayName->c_str() : NULL))
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
    // Names compare as UTF-16: bytes that are not UTF-8 would make two names one.
    sc::DecodedArguments decoded = sc::DecodeArguments(argc, argv);
    if (decoded.invalid) {
        std::fprintf(stderr, "[SC] Argument %d is not valid UTF-8; nothing was done.\n",
                     decoded.invalid);
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::u16string>& args = decoded.words;
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
        std::optional<DWORD> control = sc::ReadNumber(args[1]);
        if (!control)
            return Usage();
        return Control(manager.get(), args[0], *control, AccessFor(*control));
    }
    if (command == "delete")
        return Delete(manager.get(), args);
    return Usage();
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Sc);
}
