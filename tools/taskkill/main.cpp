// taskkill /PID N /IM NAME /F: ends the processes of this machine with those pids and image
// names (names compared without regard to case, as on Windows), reporting each one as the
// Windows command does. Several /PID and /IM switches may be given, in any mix.
// Exit code as the Windows command's: 0 all ended, 128 none found, 1 anything else.
#include <windows.h>
#include <tlhelp32.h>

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <cstdint>
#include <cstdio>
#include <optional>
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
    std::printf("\nTASKKILL { [/PID processid | /IM imagename] } [/F]\n\n"
                "Description:\n"
                "    This tool is used to terminate tasks by process id (PID) or image name.\n\n"
                "Parameter List:\n"
                "    /PID  processid  Specifies the PID of the process to be terminated.\n"
                "                     Use TaskList to get the PID.\n\n"
                "    /IM   imagename  Specifies the image name of the process\n"
                "                     to be terminated.\n\n"
                "    /F               Specifies to forcefully terminate the process(es).\n\n"
                "    /?               Displays this help message.\n\n"
                "NOTE: /PID and /IM may each be given more than once.\n");
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

// What one /PID or /IM switch asks for, with its value as the user wrote it.
struct Target {
    bool byPid;
    std::optional<DWORD> pid; // empty when the value is no pid: it then matches nothing
    std::u16string image;
    std::string text;
    bool found = false;
};

// A pid is a decimal DWORD. Anything else, a number beyond 4294967295 included, names no
// process, rather than wrapping round to one that exists.
std::optional<DWORD> ParsePid(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    const uint64_t value = std::stoull(text);
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<DWORD>(value);
}

bool Matches(const Target& target, const PROCESSENTRY32W& entry) {
    return target.byPid ? target.pid == entry.th32ProcessID
                        : lstrcmpiW(entry.szExeFile, target.image.c_str()) == 0;
}

struct Match {
    DWORD pid;
    std::u16string image;
    std::vector<size_t> targets; // indexes of the switches that name it, first one first
};

// The processes of this machine that a switch names, each once, in snapshot order; false
// (last error set) when the walk itself failed, which is not the same as finding none.
// taskkill never ends itself.
bool FindMatches(const std::vector<Target>& targets, std::vector<Match>& matches) {
    hostwin::UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    BOOL more = Process32FirstW(snapshot.get(), &entry);
    for (; more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        Match match{entry.th32ProcessID, entry.szExeFile, {}};
        for (size_t i = 0; i < targets.size(); ++i)
            if (Matches(targets[i], entry))
                match.targets.push_back(i);
        if (!match.targets.empty())
            matches.push_back(std::move(match));
    }
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

// Windows names a process found by its pid without its image name.
std::string Subject(const Match& match, bool byPid) {
    const unsigned long pid = match.pid;
    if (byPid)
        return "with PID " + std::to_string(pid);
    return "\"" + hostwin::ToUtf8(match.image) + "\" with PID " + std::to_string(pid);
}

int Taskkill(int argc, char** argv) {
    if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0)
        return Usage(("Invalid argument/option - '" + std::string(argv[bad]) + "'.").c_str());
    std::vector<Target> targets;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        std::u16string argument = hostwin::FromUtf8(argv[i]);
        const bool pid = IsOption(argument, u"PID");
        if (IsOption(argument, u"?") && argc == 2) {
            Help();
            return 0;
        } else if (IsOption(argument, u"F")) {
            force = true;
        } else if (pid || IsOption(argument, u"IM")) {
            if (i + 1 >= argc) {
                std::string problem =
                    "Invalid syntax. Value expected for '" + std::string(argv[i]) + "'.";
                return Usage(problem.c_str());
            }
            const std::string value = argv[++i];
            targets.push_back(Target{pid, pid ? ParsePid(value) : std::nullopt,
                                     pid ? u"" : hostwin::FromUtf8(value), value});
        } else {
            std::string problem = "Invalid argument/option - '" + std::string(argv[i]) + "'.";
            return Usage(problem.c_str());
        }
    }
    if (targets.empty())
        return Usage("Invalid syntax. Neither /FI nor /PID nor /IM were specified.");

    std::vector<Match> matches;
    if (!FindMatches(targets, matches)) {
        std::fprintf(stderr, "ERROR: The process list could not be read. %s\n",
                     Reason(GetLastError()).c_str());
        return kFailed;
    }

    int result = 0;
    for (const Match& match : matches) {
        DWORD error = ERROR_SUCCESS;
        if (force && (error = EndProcess(match.pid)) == ERROR_INVALID_PARAMETER)
            continue; // ended since the snapshot was taken
        for (size_t index : match.targets)
            targets[index].found = true;
        const std::string subject = Subject(match, targets[match.targets.front()].byPid);
        if (force && error == ERROR_SUCCESS) {
            std::printf("SUCCESS: The process %s has been terminated.\n", subject.c_str());
            continue;
        }
        // Without /F Windows asks a process's windows to close; these processes have none.
        const std::string reason =
            force ? Reason(error)
                  : "This process can only be terminated forcefully (with /F option).";
        std::fprintf(stderr, "ERROR: The process %s could not be terminated.\nReason: %s\n",
                     subject.c_str(), reason.c_str());
        result = kFailed;
    }
    size_t found = 0;
    for (const Target& target : targets) {
        if (target.found)
            ++found;
        else
            std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n", target.text.c_str());
    }
    if (found == 0)
        return kNotFound;
    return found == targets.size() ? result : kFailed;
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Taskkill);
}
