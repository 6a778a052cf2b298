// taskkill /IM NAME /F: ends every process of this machine with that image name (compared
// without regard to case, as on Windows), reporting each one as the Windows command does.
// Exit code as the Windows command's: 0 all ended, 128 none found, 1 anything else.
#include <windows.h>
#include <tlhelp32.h>

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// taskkill /F ends processes with exit code 1, as the Windows command does.
const UINT kTerminatedExitCode = 1;
const int kFailed = 1;
const int kNotFound = 128;

bool IsOption(const std::u16string& argument, const char16_t* name) {
    return argument.size() > 1 && (argument[0] == u'/' || argument[0] == u'-') &&
           lstrcmpiW(argument.c_str() + 1, name) == 0;
}

int Usage(const char* problem) {
    std::fprintf(stderr, "ERROR: %s\nType \"TASKKILL /?\" for usage.\n", problem);
    return kFailed;
}

void Help() {
    std::printf("\nTASKKILL /IM imagename [/F]\n\n"
                "Description:\n"
                "    This tool is used to terminate tasks by image name.\n\n"
                "Parameter List:\n"
                "    /IM   imagename  Specifies the image name of the process\n"
                "                     to be terminated.\n\n"
                "    /F               Specifies to forcefully terminate the process(es).\n\n"
                "    /?               Displays this help message.\n");
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

// The processes of this machine with the image name; false (last error set) when the walk
// itself failed, which is not the same as finding none.
bool FindMatches(const std::u16string& imageName, std::vector<Match>& matches) {
    hostwin::UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    BOOL more = Process32FirstW(snapshot.get(), &entry);
    for (; more; more = Process32NextW(snapshot.get(), &entry))
        if (lstrcmpiW(entry.szExeFile, imageName.c_str()) == 0 &&
            entry.th32ProcessID != GetCurrentProcessId())
            matches.push_back(Match{entry.th32ProcessID, entry.szExeFile});
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Ends one process; 0 when ended, ERROR_INVALID_PARAMETER when it has already gone, else the
// reason it could not be ended.
DWORD EndProcess(DWORD pid) {
    hostwin::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (!process)
        return GetLastError();
    return TerminateProcess(process.get(), kTerminatedExitCode) ? 0 : GetLastError();
}

int Taskkill(int argc, char** argv) {
    if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0)
        return Usage(("Invalid argument/option - '" + std::string(argv[bad]) + "'.").c_str());
    std::u16string imageName;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        std::u16string argument = hostwin::FromUtf8(argv[i]);
        if (IsOption(argument, u"?") && argc == 2) {
            Help();
            return 0;
        } else if (IsOption(argument, u"F")) {
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

    std::vector<Match> matches;
    if (!FindMatches(imageName, matches)) {
        std::fprintf(stderr, "ERROR: The process list could not be read. %s\n",
                     Reason(GetLastError()).c_str());
        return kFailed;
    }

    int result = 0;
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
            result = kFailed;
            continue;
        }
        DWORD error = EndProcess(match.pid);
        if (error == ERROR_INVALID_PARAMETER)
            continue; // ended since the snapshot was taken
        ++found;
        if (error == ERROR_SUCCESS) {
            std::printf("SUCCESS: The process \"%s\" with PID %lu has been terminated.\n",
                        image.c_str(), pid);
        } else {
            std::fprintf(stderr,
                         "ERROR: The process \"%s\" with PID %lu could not be terminated.\n"
                         "Reason: %s\n",
                         image.c_str(), pid, Reason(error).c_str());
            result = kFailed;
        }
    }
    if (found == 0) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n",
                     hostwin::ToUtf8(imageName).c_str());
        return kNotFound;
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Taskkill);
}
