// service_bench: what the service costs on the host.
//  - start: StartServiceW to SERVICE_RUNNING, beside its floor: two spawns of a trivial host
//    program (floor_child, loaded as every host program is), each until its main runs, and one
//    process snapshot walk, which is what a start does at least (the manager spawns the service,
//    whose ServiceMain walks a snapshot and spawns the agent, and both are host programs);
//    both with 0, 1 000 and 10 000 other processes on the host;
//  - tick: one watchdog tick with 0, 100, 1 000 and 10 000 other processes on the host;
//  - idle: the service process's voluntary context switches over 10 s between two ticks;
//  - listing: EnumServicesStatusExW of every service (as `sc query state= all` reads them) with
//    1 000, 10 000 and 100 000 services installed.
// Other processes stop at 10 000: the host's pid space (32 768) holds no 100 000.
// Runs on a fresh temporary machine at time scale 1. Usage: service_bench [benchmark flags]
#include "agent.h"
#include "scm/store_changes.h"
#include "tollivarmodule.h"

#include <hostwin/control.h>

#include <windows.h>
#include <tlhelp32.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string g_root;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void SetUpMachine() {
    char pattern[] = "/tmp/service-bench-XXXXXX";
    g_root = mkdtemp(pattern);
    setenv("HOSTWIN_ROOT", g_root.c_str(), 1);
    fs::create_directories(g_root + "/drive_c/pellard/bin");
    fs::copy_file(PELLARD_EXE, g_root + "/drive_c/pellard/bin/pellard.exe");
    HKEY key = NULL;
    RegCreateKeyExW(HKEY_CLASSES_ROOT, u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}", 0, NULL, 0,
                    KEY_ALL_ACCESS, NULL, &key, NULL);
    const char16_t name[] = u"pellardservice";
    RegSetValueExW(key, u"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                   sizeof name);
    RegCloseKey(key);
}

DWORD State(SC_HANDLE service, DWORD* pid = nullptr) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    if (pid)
        *pid = status.dwProcessId;
    return status.dwCurrentState;
}

// Waits for `state`, re-reading the status each time the service database changes, as the
// manager itself waits. Polling instead would take CPU from the starting processes on 2 cores.
void AwaitState(SC_HANDLE service, DWORD state) {
    hostwin::scm::StoreChanges changes;
    while (State(service) != state)
        changes.Wait(Clock::now() + std::chrono::seconds(1));
}

void EndAgents() {
    g_module.KillAgents();
}

unsigned long long VoluntarySwitches(DWORD pid) {
    unsigned long long total = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(24));
    }
    return total;
}

// Processes of no machine, as the rest of a host runs them.
std::vector<pid_t> g_others;
void SetOtherProcesses(size_t count) {
    while (g_others.size() > count) {
        kill(g_others.back(), SIGKILL);
        waitpid(g_others.back(), nullptr, 0);
        g_others.pop_back();
    }
    char sleepPath[] = "/bin/sleep", forever[] = "100000";
    char* argv[] = {sleepPath, forever, nullptr};
    char* envp[] = {nullptr};
    while (g_others.size() < count) {
        pid_t pid = -1;
        if (posix_spawn(&pid, sleepPath, nullptr, nullptr, argv, envp) != 0)
            break;
        g_others.push_back(pid);
    }
}

// Spawns floor_child and returns once its main has run (its byte came), or -1.
pid_t SpawnToMain() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char path[] = FLOOR_CHILD_EXE;
    char* argv[] = {path, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path, &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char byte = 0;
    if (pid > 0 && read(out[0], &byte, 1) != 1)
        std::fprintf(stderr, "floor_child did not run\n");
    close(out[0]);
    return pid;
}

size_t WalkSnapshot() {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    size_t listed = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        ++listed;
    CloseHandle(snapshot);
    return listed;
}

// The floor of a start: two spawns, each until its main runs, and one snapshot walk.
void BM_StartFloor(benchmark::State& state) {
    SetOtherProcesses(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        auto start = Clock::now();
        pid_t service = SpawnToMain();
        benchmark::DoNotOptimize(WalkSnapshot());
        pid_t agent = SpawnToMain();
        state.SetIterationTime(Milliseconds(Clock::now() - start) / 1000);
        waitpid(service, nullptr, 0);
        waitpid(agent, nullptr, 0);
    }
    state.counters["others"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_StartFloor)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

SC_HANDLE g_service = NULL;

// StartServiceW until the service reports SERVICE_RUNNING; the stop after it is not timed.
void BM_StartToRunning(benchmark::State& state) {
    SetOtherProcesses(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        auto start = Clock::now();
        StartServiceW(g_service, 0, NULL);
        AwaitState(g_service, SERVICE_RUNNING);
        state.SetIterationTime(Milliseconds(Clock::now() - start) / 1000);
        SERVICE_STATUS status{};
        ControlService(g_service, SERVICE_CONTROL_STOP, &status);
        AwaitState(g_service, SERVICE_STOPPED);
    }
    state.counters["others"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_StartToRunning)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One tick with one agent running: count, no launch.
void BM_WatchdogTick(benchmark::State& state) {
    SetOtherProcesses(static_cast<size_t>(state.range(0)));
    StartAgent();
    for (auto _ : state)
        TimerProc(NULL, WM_TIMER, 1, 0);
    state.counters["others"] = static_cast<double>(state.range(0));
    EndAgents();
}
BENCHMARK(BM_WatchdogTick)->Arg(0)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The whole listing as sc reads it: the size first, then every record. The services of a smaller
// count stay for the next one; installing the ones added is timed apart (install_ms, per
// CreateServiceW), as it must not grow with the services already there.
int g_listed = 0;
double g_installMs = 0; // per service, for the services the current count added
void BM_ListAllServices(benchmark::State& state) {
    SetOtherProcesses(0);
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    const int installedBefore = g_listed;
    const auto installing = Clock::now();
    for (int& i = g_listed; i < state.range(0); ++i) {
        const std::u16string name = u"listed" + hostwin::FromUtf8(std::to_string(i));
        CloseServiceHandle(CreateServiceW(
            manager, name.c_str(), NULL, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"x.exe", NULL, NULL, NULL, NULL, NULL));
    }
    // The framework calls this more than once per count; only the first call installs.
    if (g_listed > installedBefore)
        g_installMs = Milliseconds(Clock::now() - installing) / (g_listed - installedBefore);
    state.counters["install_ms"] = g_installMs;
    std::vector<unsigned char> buffer;
    DWORD listed = 0;
    for (auto _ : state) {
        DWORD needed = 0, returned = 0, resume = 0;
        EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, NULL,
                              0, &needed, &returned, &resume, NULL);
        buffer.resize(needed);
        EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                              buffer.data(), needed, &needed, &listed, &resume, NULL);
    }
    state.counters["services"] = listed;
    CloseServiceHandle(manager);
}
BENCHMARK(BM_ListAllServices)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    SetUpMachine();
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    const std::u16string image = hostwin::WindowsPath(TOLLIVAR_EXE);
    const std::u16string path = u"\"" + image + u"\"";
    SC_HANDLE service = CreateServiceW(
        manager, u"pellardservice", NULL, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), NULL, NULL, NULL, NULL, NULL);
    g_service = service;
    StartServiceW(service, 0, NULL);
    AwaitState(service, SERVICE_RUNNING);
    DWORD pid = 0;
    State(service, &pid);
    // SERVICE_RUNNING is reported before the watchdog is armed and the loop first waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    unsigned long long before = VoluntarySwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(10)); // the first tick comes at 30 s
    unsigned long long after = VoluntarySwitches(pid);
    std::printf("idle service process: %llu voluntary context switches in 10 s (target 0)\n",
                after - before);
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    AwaitState(service, SERVICE_STOPPED);
    std::fflush(stdout);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetOtherProcesses(0);
    EndAgents();
    fs::remove_all(g_root);
    return 0;
}
