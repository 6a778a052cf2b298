#include "machine.h"

#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

extern char** environ;

namespace testing_support {

int AgentCount(const std::u16string& imageName) {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (std::u16string(entry.szExeFile) == imageName)
            ++count;
    CloseHandle(snapshot);
    return count;
}

const char* InBuild(const char* relative) {
    static const std::filesystem::path build =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
    static std::mutex lock;
    static std::map<std::string, std::string> paths; // nodes stay put: their texts too
    std::lock_guard<std::mutex> guard(lock);
    std::string& path = paths[relative];
    if (path.empty())
        path = (build / relative).lexically_normal().string();
    return path.c_str();
}

namespace {

// Ends processes a failed test left on its machine, so they cannot outlive the root. Reads
// /proc itself rather than trusting the process functions under test.
void EndLeftoverProcesses(const std::string& root) {
    const std::string marker = "HOSTWIN_ROOT=" + root;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = static_cast<pid_t>(std::stoi(name));
        if (pid == getpid())
            continue;
        std::string environment = ReadFile(entry.path().string() + "/environ");
        size_t start = 0;
        while (start < environment.size()) {
            size_t end = environment.find('\0', start);
            if (end == std::string::npos)
                end = environment.size();
            if (environment.compare(start, end - start, marker) == 0) {
                kill(pid, SIGKILL);
                break;
            }
            start = end + 1;
        }
    }
}

std::vector<char*> BuildEnvironment(const std::map<std::string, std::string>& extraEnv,
                                    std::vector<std::string>& storage) {
    for (char** entry = environ; *entry; ++entry) {
        std::string item(*entry);
        std::string name = item.substr(0, item.find('='));
        if (extraEnv.count(name) == 0)
            storage.push_back(item);
    }
    for (const auto& [name, value] : extraEnv)
        storage.push_back(name + "=" + value);
    std::vector<char*> pointers;
    for (std::string& item : storage)
        pointers.push_back(item.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<char*> BuildArgv(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv)
        pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

void MachineTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostwin-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    setenv("HOSTWIN_ROOT", m_root.c_str(), 1);
    hostwin::ResetForTest();
    m_baseline = hostwin::OpenHandleCounts();
}

void MachineTest::ExpectNoLeakedHandles() const {
    hostwin::HandleCounts now = hostwin::OpenHandleCounts();
    for (size_t kind = 0; kind < hostwin::kHandleKindCount; ++kind)
        EXPECT_EQ(now[kind], m_baseline[kind])
            << "leaked " << hostwin::HandleKindName(static_cast<hostwin::HandleKind>(kind))
            << " handles";
}

void MachineTest::TearDown() {
    ExpectNoLeakedHandles();
    hostwin::ResetForTest();
    EndLeftoverProcesses(m_root);
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

int SpawnProgram(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& extraEnv) {
    std::vector<std::string> envStorage;
    std::vector<char*> envp = BuildEnvironment(extraEnv, envStorage);
    std::vector<char*> args = BuildArgv(argv);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, args.data(), envp.data()) != 0)
        return -1;
    return pid;
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& extraEnv,
                         const std::string& folder) {
    ProgramResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> envStorage;
    std::vector<char*> envp = BuildEnvironment(extraEnv, envStorage);
    std::vector<char*> args = BuildArgv(argv);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
    result.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned == 0) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        std::string* sinks[2] = {&result.out, &result.err};
        int open = 2;
        while (open > 0 && poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.exitStatus = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.signal = WTERMSIG(status);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
}

std::vector<std::string> DebugReportTexts(int reportType) {
    std::vector<std::string> texts;
    for (const hostwin::DebugReport& report : hostwin::DebugReports())
        if (report.reportType == reportType)
            texts.push_back(hostwin::ToUtf8(report.text));
    return texts;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace testing_support
