// Starting a process: which file a command names, by the Windows rules, and the child's
// arguments and environment, handed to posix_spawn.
#include "base/core.h"
#include "process/spawn.h"
#include "process/image_search.h"
#include "process/process.h"
#include "process/procfs.h"
#include "machine/machine_layout.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace hostwin {

namespace {

// An executable found for a command.
struct Image {
    std::string hostPath;
};

std::string AbsoluteHostPath(const std::string& path) {
    std::filesystem::path absolute(path);
    if (!absolute.is_absolute()) {
        std::error_code error;
        absolute = std::filesystem::current_path(error) / absolute;
    }
    return absolute.lexically_normal().string();
}

// Whether `windowsName` names a file that can be started, as CreateProcessW judges it.
DWORD LocateFile(const std::u16string& windowsName, Image& image) {
    if (windowsName.empty())
        return ERROR_PATH_NOT_FOUND;
    const std::string hostPath = AbsoluteHostPath(HostPath(windowsName));
    struct stat info {};
    if (stat(hostPath.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return SpawnErrorFromErrno(errno);
        // A missing folder is told apart from a missing file, as on Windows.
        struct stat folder {};
        std::string parent = std::filesystem::path(hostPath).parent_path().string();
        return stat(parent.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode)
                   ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                   : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
    }
    if (!S_ISREG(info.st_mode) || access(hostPath.c_str(), X_OK) != 0)
        return ERROR_ACCESS_DENIED;
    image.hostPath = hostPath;
    return ERROR_SUCCESS;
}

// The module to run: the first candidate that names a file that can be started. The error is
// that of the first reading of the name that found nothing.
DWORD ResolveImage(LPCWSTR applicationName, const std::u16string& commandLine, Image& image) {
    SearchFolders folders;
    folders.program = WindowsPath(OwnExecutablePath());
    folders.program.erase(folders.program.find_last_of(u'\\') + 1);
    std::error_code error;
    folders.current = WindowsPath(std::filesystem::current_path(error).string()) + u"\\";
    DWORD first = ERROR_SUCCESS;
    for (const CandidateGroup& group : ModuleCandidates(applicationName, commandLine, folders)) {
        DWORD groupError = ERROR_SUCCESS;
        for (const std::u16string& path : group.paths) {
            DWORD result = LocateFile(path, image);
            if (result == ERROR_SUCCESS)
                return result;
            if (groupError == ERROR_SUCCESS)
                groupError = result;
        }
        if (group.searched && groupError == ERROR_PATH_NOT_FOUND)
            groupError = ERROR_FILE_NOT_FOUND;
        if (first == ERROR_SUCCESS)
            first = groupError;
    }
    return first == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND) : first;
}

// The child's environment: ours, marked with the machine root. A service's mark is not
// inherited: its agents are no services.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> environment;
    const std::string rootPrefix = std::string(kRootVariable) + "=";
    const std::string servicePrefix = std::string(kServiceVariable) + "=";
    for (char** item = environ; item && *item; ++item) {
        if (std::strncmp(*item, rootPrefix.c_str(), rootPrefix.size()) == 0 ||
            std::strncmp(*item, servicePrefix.c_str(), servicePrefix.size()) == 0)
            continue;
        environment.emplace_back(*item);
    }
    environment.push_back(rootPrefix + layout::Root());
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the image with the argv and environment given; the child gets our standard streams
// and no other descriptor, default signal dispositions and an empty signal mask.
// A detached child has its standard streams on /dev/null and a session of its own.
int Spawn(const Image& image, std::vector<std::string>& argv, std::vector<std::string>& environment,
          bool detached, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int error = posix_spawn_file_actions_init(&actions))
        return error;
    if (int error = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    for (int fd = 0; detached && !error && fd <= 2; ++fd)
        error = posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                                 fd == 0 ? O_RDONLY : O_WRONLY, 0);
    if (!error)
        error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (!error)
        error = posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (detached)
        flags |= POSIX_SPAWN_SETSID;
    if (!error)
        error = posix_spawnattr_setflags(&attributes, flags);
    if (!error) {
        std::vector<char*> args = Pointers(argv);
        std::vector<char*> envp = Pointers(environment);
        error = posix_spawn(&pid, image.hostPath.c_str(), &actions, &attributes, args.data(),
                            envp.data());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

} // namespace

DWORD SpawnErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
    case ELIBBAD:
    case ETXTBSY:
        return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG:
        return ERROR_BAD_PATHNAME;
    case EMFILE:
    case ENFILE:
    case EAGAIN:
        return ERROR_NO_SYSTEM_RESOURCES;
    default:
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD SpawnProcess(LPCWSTR applicationName, const std::u16string& commandLine,
                   const std::vector<std::string>& extraEnvironment, bool detached, pid_t& pid) {
    Image image;
    if (DWORD error = ResolveImage(applicationName, commandLine, image))
        return error;

    // The child's arguments are what the C runtime would split from its command line; its
    // first element, the program name, becomes the image's host path.
    std::vector<std::string> argv{image.hostPath};
    std::vector<std::u16string> split = SplitCommandLine(commandLine);
    for (size_t i = 1; i < split.size(); ++i)
        argv.push_back(ToUtf8(split[i]));
    std::vector<std::string> environment = ChildEnvironment(extraEnvironment);
    if (int error = Spawn(image, argv, environment, detached, pid))
        return SpawnErrorFromErrno(error);
    return ERROR_SUCCESS;
}

} // namespace hostwin
