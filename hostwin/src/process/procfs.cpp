// What /proc tells about the processes of the host. Plain reads: a snapshot reads a file of
// every process of the host, so each must be cheap.
#include "process/procfs.h"
#include "process/process.h"
#include "machine/machine_layout.h"

#include <hostwin/owner.h>
#include <hostwin/text.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <sstream>

namespace hostwin {

namespace {

// Plain reads: a snapshot reads a file of every process of the host, so each must be cheap.
std::string ReadWholeFile(const std::string& path, bool& ok) {
    std::string text;
    ok = false;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return text;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::string();
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    ok = true;
    return text;
}

std::string ProcPath(pid_t pid, const char* item) {
    return "/proc/" + std::to_string(pid) + "/" + item;
}

std::u16string LastPathElement(const std::u16string& path) {
    size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// Value of the first NAME= item; false when there is none.
bool FindEnvironmentValue(const std::vector<std::string>& environment, const char* name,
                          std::string& value) {
    const std::string prefix = std::string(name) + "=";
    for (const std::string& item : environment) {
        if (item.compare(0, prefix.size(), prefix) == 0) {
            value = item.substr(prefix.size());
            return true;
        }
    }
    return false;
}

// The file name a snapshot shows: that of the file the process executes, as Windows names a
// process by the image it maps. Nothing it inherited or was given can make it pass for
// another program.
std::u16string ImageFileName(pid_t pid, const ProcStat& stat) {
    std::error_code error;
    std::string executable = std::filesystem::read_symlink(ProcPath(pid, "exe"), error).string();
    if (error || executable.empty())
        return FromUtf8(stat.command);
    const std::string deleted = " (deleted)";
    if (executable.size() > deleted.size() &&
        executable.compare(executable.size() - deleted.size(), deleted.size(), deleted) == 0)
        executable.erase(executable.size() - deleted.size());
    return LastPathElement(FromUtf8(executable));
}

// The value of the first HOSTWIN_ROOT item of a start environment (NAME=value items, each ended
// by a NUL), or nothing.
std::optional<std::string> RootItem(const char* items, size_t size) {
    static const std::string prefix = std::string(kRootVariable) + "=";
    for (size_t start = 0; start < size;) {
        const char* item = items + start;
        size_t length = strnlen(item, size - start);
        if (length >= prefix.size() && std::memcmp(item, prefix.data(), prefix.size()) == 0)
            return std::string(item + prefix.size(), length - prefix.size());
        start += length + 1;
    }
    return std::nullopt;
}

// Whether a process whose environment names `root` belongs to this machine. Processes started
// by hostwin carry the canonical root, which compares at once; one started from a shell may
// carry any spelling, and a relative one is read from that process's folder, the best witness
// left of where it started.
bool RootIsThisMachine(pid_t pid, const std::string& root) {
    if (root.empty())
        return false;
    if (root == layout::Root())
        return true;
    std::string folder;
    if (root[0] != '/') {
        std::error_code error;
        folder = std::filesystem::read_symlink(ProcPath(pid, "cwd"), error).string();
        if (error)
            return false;
    }
    return layout::CanonicalRoot(root, folder) == layout::Root();
}

} // namespace

bool ReadProcStat(pid_t pid, ProcStat& stat) {
    bool ok = false;
    const std::string text = ReadWholeFile(ProcPath(pid, "stat"), ok);
    // "pid (command) state ppid ...": the command may hold blanks and parentheses.
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (!ok || open == std::string::npos || close == std::string::npos || close < open)
        return false;
    stat.command = text.substr(open + 1, close - open - 1);
    std::istringstream fields(text.substr(close + 1));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    // Counting from the state as field 3: ppid 4, threads 20, start time 22, exit code 52.
    auto field = [&values](size_t number) -> const std::string& {
        static const std::string none;
        return number - 3 < values.size() ? values[number - 3] : none;
    };
    if (field(3).empty() || field(22).empty())
        return false;
    stat.state = field(3)[0];
    stat.parent = static_cast<pid_t>(std::strtol(field(4).c_str(), nullptr, 10));
    stat.threads = static_cast<unsigned>(std::strtoul(field(20).c_str(), nullptr, 10));
    stat.startTime = std::strtoull(field(22).c_str(), nullptr, 10);
    stat.exitStatus = static_cast<int>(std::strtol(field(52).c_str(), nullptr, 10));
    return true;
}

bool ReadStartEnvironment(pid_t pid, std::vector<std::string>& environment) {
    bool ok = false;
    const std::string text = ReadWholeFile(ProcPath(pid, "environ"), ok);
    if (!ok)
        return false;
    environment = SplitNulSeparated(text);
    return true;
}

std::vector<std::string> SplitNulSeparated(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool OfThisMachine(pid_t pid, const std::vector<std::string>& environment) {
    std::string root;
    return FindEnvironmentValue(environment, kRootVariable, root) && RootIsThisMachine(pid, root);
}

// Only the processes of this machine are looked at closely; for every other process of the
// host the walk reads its environment once and nothing more.
std::vector<MachineProcess> MachineProcesses() {
    std::vector<MachineProcess> entries;
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc)
        return entries;
    while (dirent* item = readdir(proc)) {
        const char* name = item->d_name;
        if (name[0] == 0 || std::strspn(name, "0123456789") != std::strlen(name))
            continue;
        const pid_t pid = static_cast<pid_t>(std::strtol(name, nullptr, 10));
        // Processes come and go during the walk: one that cannot be read is not listed.
        bool ok = false;
        const std::string text = ReadWholeFile(ProcPath(pid, "environ"), ok);
        if (!ok)
            continue;
        // This process belongs to the machine it works on, whatever it started with.
        if (pid != self) {
            std::optional<std::string> root = RootItem(text.data(), text.size());
            if (!root || !RootIsThisMachine(pid, *root))
                continue;
        }
        ProcStat stat;
        if (!ReadProcStat(pid, stat) || HasEnded(stat))
            continue;
        entries.push_back(MachineProcess{static_cast<DWORD>(pid), static_cast<DWORD>(stat.parent),
                                         stat.threads, ImageFileName(pid, stat)});
    }
    closedir(proc);
    return entries;
}

std::string OwnExecutablePath() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    return error ? std::string() : path;
}

} // namespace hostwin
