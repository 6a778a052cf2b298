// taskkill /IM NAME /F: ends every process of this machine with that image name (compared
// without regard to case, as on Windows), reporting each one as the Windows command does.
#include <windows.h>
#include <tlhelp32.h>

#include <hostwin/control.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// taskkill /F ends processes with exit code 1, as the Windows command does.
const UINT kTerminatedExitCode = 1;

bool IsOption(const std::u16string& argument, const char16_t* name) {
    return argument.size() > 1 && (argument[0] == u'/' || argument[0] == u'-') &&
           lstrcmpiW(argument.c_str() + 1, name) == 0;
}

int Usage(const char* problem) {
    std::fprintf(stderr, "ERROR: %s\nType \"TASKKILL /?\" for usage.\n", problem);
    return ERROR_INVALID_PARAMETER;
}

std::string Reason(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    default:
        return "Error " + std::to_string(error) + ".";
    }
}

struct Match {
    DWORD pid;
    std::u16string image;
};

} // namespace

int main(int argc, char** argv) {
    std::u16string imageName;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        std::u16string argument = hostwin::FromUtf8(argv[i]);
        if (IsOption(argument, u"F")) {
            force = true;
        } else if (IsOption(argument, u"IM") && i + 1 < argc) {
            imageName = hostwin::FromUtf8(argv[++i]);
        } else {
            std::string problem = "Invalid argument/option - '" + std::string(argv[i]) + "'.";
            return Usage(problem.c_str());
        }
    }
    if (imageName.empty())
        return Usage("Invalid syntax. /IM option is required.");

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "ERROR: %s\n", Reason(error).c_str());
        return static_cast<int>(error);
    }
    std::vector<Match> matches;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, imageName.c_str()) == 0 &&
            entry.th32ProcessID != GetCurrentProcessId())
            matches.push_back(Match{entry.th32ProcessID, entry.szExeFile});
    CloseHandle(snapshot);

    const std::string pattern = hostwin::ToUtf8(imageName);
    DWORD result = ERROR_SUCCESS;
    size_t found = 0;
    for (const Match& match : matches) {
        const std::string image = hostwin::ToUtf8(match.image);
        const unsigned long pid = match.pid;
        if (!force) {
            ++found;
            std::fprintf(stderr,
                         "ERROR: The process \"%s\" with PID %lu could not be terminated.\n"
                         "Reason: This process can only be terminated forcefully (with /F "
                         "option).\n",
                         image.c_str(), pid);
            result = ERROR_INVALID_FUNCTION;
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, match.pid);
        if (process == NULL && GetLastError() == ERROR_INVALID_PARAMETER)
            continue; // ended since the snapshot was taken
        ++found;
        DWORD error = ERROR_SUCCESS;
        if (process == NULL || !TerminateProcess(process, kTerminatedExitCode))
            error = GetLastError();
        if (process != NULL)
            CloseHandle(process);
        if (error == ERROR_SUCCESS) {
            std::printf("SUCCESS: The process \"%s\" with PID %lu has been terminated.\n",
                        image.c_str(), pid);
        } else {
            std::fprintf(stderr,
                         "ERROR: The process \"%s\" with PID %lu could not be terminated.\n"
                         "Reason: %s\n",
                         image.c_str(), pid, Reason(error).c_str());
            result = error;
        }
    }
    if (found == 0) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n", pattern.c_str());
        return ERROR_WAIT_NO_CHILDREN;
    }
    return static_cast<int>(result);
}
