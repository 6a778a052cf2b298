#!/usr/bin/env python3
"""Fails every platform call tollivar makes, one call per run, and checks that nothing breaks.

For each scenario a clean run lists every call of a hostwin fault point (HOSTWIN_FAULT_POINT_LOG),
per step of the scenario; then one run per listed call of the program under test makes exactly
that call fail, in that program only, with the error the platform most likely gives for it.
After each faulted run the invariants are checked: every process ended by itself within a
bound, no handle open at any exit, no agent left running after the stop step, and a machine
state that is the clean run's or converges to it when the scenario is run again without a
fault. See docs/faultsweep.md.
"""

import argparse
import collections
import concurrent.futures
import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SERVICE = "pellardservice"
STEP_TIMEOUT = 60  # seconds a command of a scenario may take before it counts as hung
STATE_TIMEOUT = 15  # seconds for the service to reach the state a step waits for
AGENT_TIMEOUT = 3  # seconds for an agent to appear (a tick is 300 ms at the time scale)

# The error each swept function fails with: the platform's most likely failure for it. Functions
# that return their error (registry LONG, COM HRESULT) return it; the others set the last error.
E_OUTOFMEMORY = 0x8007000E
ERRORS = {
    # registry: ACLs refuse opens and writes; a key deleted meanwhile fails reads and walks
    "RegOpenKeyExW": 5, "RegCreateKeyExW": 5, "RegSetValueExW": 5, "RegDeleteValueW": 5,
    "RegDeleteKeyW": 5, "RegDeleteKeyExW": 5, "RegQueryValueExW": 1018, "RegEnumKeyExW": 1018,
    "RegEnumValueW": 1018, "RegQueryInfoKeyW": 1018,
    # service control manager
    "OpenSCManagerW": 5, "OpenServiceW": 5, "CreateServiceW": 5, "ChangeServiceConfigW": 5,
    "ChangeServiceConfig2W": 5, "QueryServiceConfigW": 5, "QueryServiceConfig2W": 5,
    "DeleteService": 5, "StartServiceW": 1053, "ControlService": 1061,
    "QueryServiceStatus": 5, "QueryServiceStatusEx": 5,
    "StartServiceCtrlDispatcherW": 1063, "RegisterServiceCtrlHandlerW": 8,
    # processes, threads, synchronisation, messages
    "CreateProcessW": 5, "OpenProcess": 5, "TerminateProcess": 5, "GetExitCodeProcess": 5,
    "CreateToolhelp32Snapshot": 8, "Process32FirstW": 18, "Process32NextW": 18,
    "CreateThread": 8, "CreateEventW": 8, "InitializeCriticalSectionEx": 8,
    "PostThreadMessageW": 1816, "SetTimer": 8,
    # modules and resources
    "GetModuleHandleW": 126, "GetProcAddress": 127, "LoadLibraryExW": 8,
    "GetModuleFileNameW": 8, "FindResourceW": 1814, "FindResourceExW": 1814,
    "LoadResource": 8, "LockResource": 8, "SizeofResource": 1812, "LoadStringW": 1814,
    # files: a folder on the way that may not be read
    "GetFileAttributesW": 5,
    # event log and user interface
    "RegisterEventSourceW": 5, "ReportEventW": 1502, "MessageBoxW": 8, "UnregisterClassW": 1411,
    "GetProcessWindowStation": 5, "GetUserObjectInformationW": 5,
    # file security: an ACL that refuses reading it, memory short, a folder it cannot make
    "GetNamedSecurityInfoW": 5, "ConvertStringSecurityDescriptorToSecurityDescriptorW": 8,
    "CreateDirectoryW": 5, "LocalAlloc": 8,
    # strings
    "MultiByteToWideChar": 1113, "WideCharToMultiByte": 1113,
    # COM, BSTRs and type libraries (HRESULTs)
    "CoInitializeEx": E_OUTOFMEMORY, "CoCreateInstance": 0x80040154,
    "CoRegisterClassObject": E_OUTOFMEMORY, "CoResumeClassObjects": E_OUTOFMEMORY,
    "CoTaskMemAlloc": 8, "CoTaskMemRealloc": 8, "StringFromGUID2": 122,
    "VarUI4FromStr": 0x80020005, "SysAllocString": 8, "LoadTypeLib": 0x80029C4A,
    "RegisterTypeLib": 0x8002801C, "RegisterTypeLibForUser": 0x8002801C,
    "UnRegisterTypeLib": 0x8002801C, "UnRegisterTypeLibForUser": 0x8002801C,
}
# Fault points not swept, and why: their contract has no failure for a valid argument, or they
# are hostwin's own internal points rather than platform calls.
NOT_SWEPT = {
    "CloseHandle": "fails only for a handle that is not valid",
    "RegCloseKey": "fails only for a key that is not valid",
    "CloseServiceHandle": "fails only for a handle that is not valid",
    "SetServiceStatus": "fails only for a status handle or a status record that is not valid",
    "DeregisterEventSource": "fails only for a handle that is not valid",
    "FreeLibrary": "fails only for a module that is not loaded",
    "WaitForSingleObject": "fails only for a handle that is not valid",
    "GetProcessId": "fails only for a handle that is not valid",
    "GetExitCodeThread": "fails only for a handle that is not valid",
    "SetEvent": "fails only for a handle that is not valid",
    "ResetEvent": "fails only for a handle that is not valid",
    "KillTimer": "fails only for a timer that does not exist",
    "GetMessageW": "fails only for a window handle that is not valid",
    "PeekMessageW": "has no failure: it says whether a message is there",
    "TranslateMessage": "has no failure: it says whether it translated",
    "DispatchMessageW": "has no failure: it returns the window procedure's result",
    "CoRevokeClassObject": "fails only for a cookie that was not registered",
    "SetUserObjectInformationW": "its failure is ignored: systems without the setting refuse it",
    "SnapshotWalkEnd": "hostwin's own internal point, not a platform call",
    "GetAce": "fails only for an index beyond the list or a list that is not valid",
    "EqualSid": "has no failure: it says whether two SIDs are the same",
    "LocalFree": "fails only for memory the platform did not hand out",
    "poll": "hostwin's own internal point, not a platform call",
    "RecordServiceStatus": "hostwin's own internal point, not a platform call",
    "Faults": "hostwin's own internal point, not a platform call",
}


# Set when the sweep is interrupted: every worker then stops at its next command.
STOP = threading.Event()


class Interrupted(Exception):
    pass


def end_machine_processes(work):
    """Ends every process of the machines under `work`, so that an interrupted sweep leaves none."""
    mark = f"HOSTWIN_ROOT={work}/".encode()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if any(item.startswith(mark) for item in f.read().split(b"\0")):
                    os.kill(int(entry), signal.SIGKILL)
        except OSError:
            pass


class Machine:
    """One machine root with the agent installed, and the commands run on it."""

    def __init__(self, bin_dir, root):
        self.bin = bin_dir
        self.root = root
        agent_dir = os.path.join(root, "drive_c", "pellard", "bin")
        os.makedirs(agent_dir)
        shutil.copy2(os.path.join(bin_dir, "pellard.exe"), agent_dir)
        self.base = {k: v for k, v in os.environ.items() if not k.startswith("HOSTWIN_")}
        self.base.update(HOSTWIN_ROOT=root, HOSTWIN_TIME_SCALE="0.01")
        self.ledger = os.path.join(root, "ledger.txt")
        self.hangs = []  # what did not end by itself
        self.deliberately_ended = set()  # pids the scenario or the clean-up ended on purpose
        self.background = []

    def exe(self, name):
        return os.path.join(self.bin, name)

    def env(self, extra=None):
        env = dict(self.base, HOSTWIN_PROCESS_LEDGER=self.ledger)
        env.update(extra or {})
        return env

    def run(self, env, name, *args):
        """Runs a command of the scenario; its exit code, or None when it had to be killed."""
        if STOP.is_set():
            raise Interrupted()
        try:
            done = subprocess.run([self.exe(name), *args], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.hangs.append(f"{name} {' '.join(args)} did not end within {STEP_TIMEOUT} s")
            return None
        return done.returncode

    def start(self, env, name, *args):
        if STOP.is_set():
            raise Interrupted()
        process = subprocess.Popen([self.exe(name), *args], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.background.append(process)
        return process

    def query(self, name, *args):
        """A look at the machine, outside the scenario: no fault, no ledger."""
        if STOP.is_set():
            raise Interrupted()
        done = subprocess.run([self.exe(name), *args], env=self.base, capture_output=True,
                              timeout=STEP_TIMEOUT)
        return done.stdout.decode("utf-8", "replace")

    def service_state(self):
        for line in self.query("sc.exe", "query", SERVICE).splitlines():
            if line.strip().startswith("STATE"):
                return int(line.split(":")[1].split()[0])
        return None  # no such service

    def wait_state(self, states, seconds=STATE_TIMEOUT):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            state = self.service_state()
            if state in states:
                return state
            time.sleep(0.02)
        return self.service_state()

    def agents(self):
        return [int(line.split()[1]) for line in self.query("tasklist.exe", "/NH").splitlines()
                if line.lower().startswith("pellard.exe")]

    def wait_agents(self, seconds=AGENT_TIMEOUT):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.agents():
                return True
            time.sleep(0.02)
        return False

    def processes(self):
        """The ledger by pid: image, exit code (None without an end), killer and code."""
        processes = {}
        for fields in self.ledger_lines():
            if fields[0] == "start":
                processes[int(fields[2])] = {"image": fields[1], "code": None, "killed": None,
                                             "handles": ""}
            elif fields[0] == "end" and int(fields[2]) in processes:
                processes[int(fields[2])].update(code=int(fields[3], 16), handles=fields[4])
            elif fields[0] == "killed" and int(fields[1]) in processes:
                processes[int(fields[1])]["killed"] = (fields[3], int(fields[2], 16))
        return processes

    def live(self, image):
        """Pids of `image` processes of this machine still running."""
        return [pid for pid, p in self.processes().items()
                if p["image"] == image and p["code"] is None and running(pid)]

    def logged(self, text):
        """Whether the machine's Application event log holds `text`."""
        try:
            with open(os.path.join(self.root, "eventlog", "Application.jsonl"),
                      encoding="utf-8") as f:
                return any(json.dumps(text) in line for line in f)
        except FileNotFoundError:
            return False

    def end(self, image, reason):
        """Ends every process of `image` on purpose; a missing end line is then no crash."""
        pids = self.live(image) if image != "pellard.exe" else self.agents()
        if image != "pellard.exe":
            self.deliberately_ended.update(pids)
        if reason:
            self.hangs.extend(f"{image} pid {pid} {reason}" for pid in pids)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_gone(pids)
        return pids

    def wait_service_process_gone(self):
        deadline = time.monotonic() + STATE_TIMEOUT
        while self.live("tollivar.exe") and time.monotonic() < deadline:
            time.sleep(0.02)

    def ledger_lines(self):
        try:
            with open(self.ledger, encoding="utf-8") as f:
                return [line.rstrip("\n").split("\t") for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def end_state(self):
        """The registry and the service manager as a text to compare."""
        parts = []
        for hive in ("HKLM", "HKCU"):
            path = os.path.join(self.root, f"export-{hive}.reg")
            self.query("reg.exe", "export", hive, path, "/y")
            with open(path, "rb") as f:
                parts.append(f.read().decode("utf-16", "replace"))
            os.remove(path)
        parts.append(self.query("sc.exe", "qc", SERVICE))
        parts.append(self.query("sc.exe", "qdescription", SERVICE))
        parts += [line for line in self.query("sc.exe", "query", SERVICE).splitlines()
                  if "STATE" in line or "EXIT_CODE" in line]
        return "\n".join(parts)


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def wait_gone(pids, seconds=5):
    deadline = time.monotonic() + seconds
    while any(running(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.01)


# Scenarios: `setup` runs without faults; each step of `steps` is (label, action) and runs with
# the fault environment when the faulted call is in it; `stop` ends what the scenario started.
# An action gets the machine and the environment of its step.

def install(m, env):
    m.run(env, "tollivar.exe", "/Service")


def service_start(m, env):
    m.run(env, "sc.exe", "start", SERVICE)
    if m.wait_state({1, 4}) == 4:
        m.wait_agents()


def agent_killed_then_tick(m, env):
    m.run(env, "taskkill.exe", "/IM", "pellard.exe", "/F")
    m.wait_agents()


def service_stop(m, env):
    m.run(env, "sc.exe", "stop", SERVICE)
    m.wait_state({1})
    m.wait_service_process_gone()


def service_running(m, env):
    install(m, env)
    service_start(m, env)


def command(*args):
    return lambda m, env: m.run(env, "tollivar.exe", *args)


def local_server(m, env):
    m.start(env, "tollivar.exe")
    # The agent launched at start, killed, and launched again: the server has ticked once.
    if m.wait_agents():
        m.run(m.env(), "taskkill.exe", "/IM", "pellard.exe", "/F")
        m.wait_agents()


def end_local_server(m, env):
    # A local server runs until its last lock goes, which never happens: the scenario ends it,
    # and with it the agents, which nothing else ends.
    m.end("tollivar.exe", None)
    m.end("pellard.exe", None)


def nothing(m, env):
    pass


Scenario = collections.namedtuple("Scenario", "setup steps stop")
SCENARIOS = {
    "install": Scenario(nothing, [("/Service", install)], nothing),
    "service": Scenario(install, [("sc start", service_start),
                                  ("agent killed", agent_killed_then_tick),
                                  ("sc stop", service_stop)], nothing),
    "regserver-running": Scenario(service_running, [("-regserver", command("-regserver"))],
                                  service_stop),
    "unregserver": Scenario(install, [("/UnregServer", command("/UnregServer"))], nothing),
    "peruser": Scenario(nothing, [("/RegServerPerUser", command("/RegServerPerUser")),
                                  ("/UnregServerPerUser", command("/UnregServerPerUser"))],
                        nothing),
    "localserver": Scenario(command("/RegServer"), [("local server", local_server)],
                            end_local_server),
}


def run_scenario(m, scenario, step_env):
    """Runs the steps and the stop; step_env(label) gives each step's extra environment."""
    for label, action in scenario.steps:
        action(m, m.env(step_env(label)))
    scenario.stop(m, m.env())


def clean_up(m, result):
    """After the stop: what still runs is either an outcome the program defines or a hang."""
    if m.live("tollivar.exe"):
        if m.service_state() == 2 and m.logged("Handler not installed"):
            # No handler, no report: the manager shows START_PENDING until the process ends.
            result["expected"].append("service left START_PENDING: no control handler")
            m.end("tollivar.exe", None)
        else:
            m.end("tollivar.exe", "still running after the stop step")
    agents = m.agents()
    if agents:
        result["orphan_agents"] += len(agents)
        m.end("pellard.exe", None)
    for process in m.background:
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    m.wait_state({1, None}, seconds=STATE_TIMEOUT)


def check_ledger(m, result, point_log=None):
    """Crashes (uncaught exceptions, signals) and handles open at exit, from the ledger."""
    for pid, p in m.processes().items():
        name = f"{p['image']} pid {pid}"
        if p["code"] is not None and p["code"] & 0xF0000000 == 0xC0000000:
            result["crashes"].append(f"{name} ended with exception code 0x{p['code']:08X}")
        if p["handles"]:
            result["leaks"].append(f"{name}: {p['handles']}")
        if p["code"] is not None or p["image"] == "pellard.exe" or pid in m.deliberately_ended:
            continue
        if p["killed"] is None:
            result["crashes"].append(f"{name} ended by a signal")
        elif p["killed"] == ("sc.exe", 1053) and point_log is not None and \
                not called(point_log, p["image"], "StartServiceCtrlDispatcherW"):
            # Its AppID value could not be read, so it ran as a local server, which the manager
            # ends at the start time-out; a local server's agents are left as they are.
            result["expected"].append("started by the manager as a local server, ended by it "
                                      "at the start time-out")
            result["expected_agents"] = result["orphan_agents"]
            result["orphan_agents"] = 0
        else:
            result["hangs"].append(f"{name} did not end by itself: {p['killed'][0]} ended it "
                                   f"with 0x{p['killed'][1]:08X}")


def without_machine_type_libraries(state):
    """The state without HKLM's TypeLib keys, where a per-user registration falls back to."""
    kept, skipping = [], False
    for line in state.splitlines():
        if line.startswith("["):
            skipping = line.startswith("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\TypeLib\\")
        if not skipping:
            kept.append(line)
    return "\n".join(kept)


def new_result(**fields):
    return dict(fields, crashes=[], hangs=[], leaks=[], expected=[], stuck=[], orphan_agents=0)


PENDING = {2: "START_PENDING", 3: "STOP_PENDING", 5: "CONTINUE_PENDING", 6: "PAUSE_PENDING"}


def look_for_stuck(m):
    """After a program was killed: the next look must show a settled service, which then
    starts and stops again. What it finds instead, as text."""
    state = m.wait_state({1, 4, 7, None})
    if state in PENDING:
        behind = "its process running" if m.live("tollivar.exe") else "no service process"
        return [f"{PENDING[state]} {STATE_TIMEOUT} s after the kill, with {behind}"]
    if state is None:
        return []
    stuck = []
    if state != 1:
        m.run(m.env(), "sc.exe", "stop", SERVICE)
        if m.wait_state({1}) != 1:
            return [f"state {state} after the kill does not stop"]
    m.wait_service_process_gone()
    code = m.run(m.env(), "sc.exe", "start", SERVICE)
    if code != 0:
        stuck.append(f"sc start then fails with {code}")
    elif m.wait_state({4}) != 4 or not m.wait_agents():
        stuck.append("started again, it reaches no RUNNING with an agent")
    m.run(m.env(), "sc.exe", "stop", SERVICE)
    if (state := m.wait_state({1})) != 1:
        stuck.append(f"stopped again, it stays in state {state}")
    m.wait_service_process_gone()
    return stuck


def callers(point_log, image, function, occurrence):
    """The processes of `image` whose fault-point log shows that call."""
    pids = set()
    try:
        with open(point_log, encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if fields[0] == image and fields[2] == function and int(fields[3]) == occurrence:
                    pids.add(int(fields[1]))
    except FileNotFoundError:
        pass
    return pids


def faulted_run(args, scenario_name, call, clean_state):
    scenario = SCENARIOS[scenario_name]
    step, image, function, occurrence = call
    code = "kill" if args.kill else ERRORS[function]
    result = new_result(scenario=scenario_name, step=step, image=image, function=function,
                        occurrence=occurrence, error=code)
    with tempfile.TemporaryDirectory(dir=args.work) as root:
        m = Machine(args.bin, os.path.join(root, "machine"))
        point_log = os.path.join(root, "points.txt")
        run_ledger, m.ledger = m.ledger, os.path.join(root, "ledger-setup.txt")
        scenario.setup(m, m.env())
        m.ledger = run_ledger
        fault = {"HOSTWIN_FAULTS": f"{image}:{function}@{occurrence}={code}",
                 "HOSTWIN_FAULT_POINT_LOG": point_log}
        run_scenario(m, scenario, lambda label: fault if label == step else {})
        if args.kill:
            # The killed process leaves a start and no end: that is the kill, not a crash.
            m.deliberately_ended |= callers(point_log, image, function, occurrence)
            result["stuck"] = look_for_stuck(m)
        clean_up(m, result)
        check_ledger(m, result, point_log)
        result["hangs"] += m.hangs
        result["reached"] = called(point_log, image, function, occurrence)
        # What the run reported: the exit codes of the program and of the manager's tool, in
        # the order they started; a process the scenario ended itself reports nothing.
        result["exit_codes"] = [f"{p['image']}=" + ("none" if p["code"] is None
                                                    else f"0x{p['code']:08X}")
                                for pid, p in m.processes().items()
                                if p["image"] in (image, "sc.exe")
                                and pid not in m.deliberately_ended]
        state = m.end_state()
        result["state"] = "clean" if state == clean_state else None
        if result["state"] is None:
            # The whole scenario again without the fault, on what the faulted run left.
            m.hangs, m.ledger = [], os.path.join(root, "ledger-again.txt")
            again = new_result()
            scenario.setup(m, m.env())
            run_scenario(m, scenario, lambda label: {})
            clean_up(m, again)
            check_ledger(m, again)
            again["hangs"] += m.hangs
            for name in ("crashes", "hangs", "leaks"):
                result[name] += [f"{text} (run again without the fault)" for text in again[name]]
            result["orphan_agents"] += again["orphan_agents"]
            state = m.end_state()
            result["state"] = "converges" if state == clean_state else "does not converge"
            if result["state"] == "does not converge" and \
                    function in ("GetModuleHandleW", "GetProcAddress") and \
                    without_machine_type_libraries(state) == \
                    without_machine_type_libraries(clean_state):
                # Without the per-user function the library is registered machine-wide, and the
                # per-user unregistration does not remove it there.
                result["expected"].append("per-user registration function not found: the type "
                                          "library registered machine-wide")
                result["state"] = "machine-wide type library"
        if result["state"] != "clean" and all(c.endswith("=0x00000000")
                                                  for c in result["exit_codes"]):
            result["success_reported"] = True
    return result


def called(point_log, image, function, occurrence=1):
    """Whether the fault-point log shows that call."""
    return bool(callers(point_log, image, function, occurrence))


def record(args, scenario_name):
    """Clean runs: the calls to sweep and the end state; two runs must agree on the state."""
    scenario = SCENARIOS[scenario_name]
    states, calls = [], []
    for attempt in range(2):
        with tempfile.TemporaryDirectory(dir=args.work) as root:
            m = Machine(args.bin, os.path.join(root, "machine"))
            logs = {label: os.path.join(root, f"points-{i}.txt")
                    for i, (label, _) in enumerate(scenario.steps)}
            scenario.setup(m, m.env())
            run_scenario(m, scenario, lambda label: {"HOSTWIN_FAULT_POINT_LOG": logs[label]})
            result = new_result()
            clean_up(m, result)
            check_ledger(m, result)
            problems = m.hangs + result["hangs"] + result["crashes"] + result["leaks"] + \
                result["expected"]
            if result.get("orphan_agents"):
                problems.append(f"{result['orphan_agents']} agents left")
            if problems:
                sys.exit(f"faultsweep: the clean run of {scenario_name} is not clean: {problems}")
            states.append(m.end_state())
            if attempt == 0:
                calls = list_calls(logs, args.images, args.kill)
    if states[0] != states[1]:
        sys.exit(f"faultsweep: two clean runs of {scenario_name} end in different states")
    return calls, states[0]


def list_calls(logs, images, kill):
    calls = []
    for label, path in logs.items():
        seen = set()
        try:
            with open(path, encoding="utf-8") as f:
                lines = [line.rstrip("\n").split("\t") for line in f]
        except FileNotFoundError:
            continue
        for image, _pid, function, occurrence in lines:
            if image not in images or (function in NOT_SWEPT and not kill):
                continue
            if function not in ERRORS and not kill:
                sys.exit(f"faultsweep: no error chosen for {function}: add it to ERRORS "
                         "or NOT_SWEPT")
            key = (label, image, function, int(occurrence))
            if key not in seen:
                seen.add(key)
                calls.append(key)
    return calls


def verdict(result):
    problems = []
    for name in ("crashes", "hangs", "leaks", "stuck"):
        problems += result.get(name, [])
    if result.get("orphan_agents"):
        problems.append(f"{result['orphan_agents']} orphan agents")
    if result["state"] == "does not converge":
        problems.append("state does not converge")
    return problems


def interrupt(*_):
    raise KeyboardInterrupt


def sweep(args, pool, report, counts, started):
    """Records every scenario, then runs its faulted calls; one report line per run."""
    names = args.scenario or list(SCENARIOS)
    recorded = dict(zip(names, pool.map(lambda name: record(args, name), names)))
    for name, (calls, _state) in recorded.items():
        counts[name]["recorded"] = len(calls)
        print(f"{name}: {len(calls)} calls recorded", flush=True)
    # Scenario by scenario in turn, so that a budget cuts every scenario's sample alike.
    queues = [[(name, call, state) for call in calls[::args.sample]]
              for name, (calls, state) in recorded.items()]
    futures = []
    for turn in itertools.zip_longest(*queues):
        for name, call, state in filter(None, turn):
            futures.append(pool.submit(
                lambda n=name, c=call, s=state: {"scenario": n, "skipped": True}
                if args.budget and time.monotonic() - started > args.budget
                else faulted_run(args, n, c, s)))
    for future in futures:
        result = future.result()
        c = counts[result["scenario"]]
        if result.get("skipped"):
            c["skipped"] += 1
            continue
        report.write(json.dumps(result) + "\n")
        c["faulted"] += 1
        c["not reached"] += not result["reached"]
        c["crashes"] += bool(result["crashes"])
        c["hangs"] += bool(result["hangs"])
        c["leaks"] += bool(result["leaks"])
        c["stuck"] += bool(result["stuck"])
        c["orphans"] += bool(result["orphan_agents"])
        c["non-converging"] += result["state"] == "does not converge"
        c["converged"] += result["state"] == "converges"
        c["expected"] += bool(result["expected"])
        c["success?"] += bool(result.get("success_reported"))
        if problems := verdict(result):
            print(f"FAIL {result['scenario']} {result['step']} {result['function']}"
                  f"@{result['occurrence']}: {'; '.join(problems)}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default="build/host/bin", help="the host programs")
    parser.add_argument("--out", default="build/faultsweep", help="report directory")
    parser.add_argument("--scenario", action="append", choices=sorted(SCENARIOS),
                        help="run only these scenarios (repeatable)")
    parser.add_argument("--images", help="comma-separated programs whose calls are failed "
                        "(default tollivar.exe; with --kill, sc.exe)")
    parser.add_argument("--kill", action="store_true",
                        help="kill the program at each of its calls (SIGKILL) instead of failing "
                        "the call, then check that the service is not stuck")
    parser.add_argument("--sample", type=int, default=1,
                        help="fail only every Nth recorded call of each scenario")
    parser.add_argument("--budget", type=float, default=0,
                        help="seconds after which no new faulted run starts (0: none)")
    # A run mostly waits for processes and polls: twice the cores keeps them busy.
    parser.add_argument("--jobs", type=int, default=2 * (os.cpu_count() or 1))
    args = parser.parse_args()
    if args.sample < 1 or args.jobs < 1 or args.budget < 0:
        parser.error("--sample and --jobs take a count from 1, --budget seconds from 0")
    args.bin = os.path.abspath(args.bin)
    missing = [name for name in ("tollivar.exe", "pellard.exe", "sc.exe", "reg.exe",
                                 "tasklist.exe", "taskkill.exe")
               if not os.access(os.path.join(args.bin, name), os.X_OK)]
    if missing:
        parser.error(f"{args.bin} lacks {', '.join(missing)}: build the host programs first "
                     "(cmake --preset host && cmake --build build/host)")
    args.images = {image.strip().lower() for image in
                   (args.images or ("sc.exe" if args.kill else "tollivar.exe")).split(",")}
    os.makedirs(args.out, exist_ok=True)
    args.work = tempfile.mkdtemp(prefix="faultsweep-")
    started = time.monotonic()
    report_path = os.path.join(args.out, "report.jsonl")
    counts = collections.defaultdict(collections.Counter)
    signal.signal(signal.SIGTERM, interrupt)
    try:
        with open(report_path, "w", encoding="utf-8") as report, \
                concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            try:
                sweep(args, pool, report, counts, started)
            except KeyboardInterrupt:
                STOP.set()
                pool.shutdown(wait=False, cancel_futures=True)
                end_machine_processes(args.work)
                raise
    finally:
        end_machine_processes(args.work)
        shutil.rmtree(args.work, ignore_errors=True)
    print_summary(counts, time.monotonic() - started, report_path)
    bad = sum(c[k] for c in counts.values()
              for k in ("crashes", "hangs", "leaks", "orphans", "stuck", "non-converging"))
    return 1 if bad else 0


COLUMNS = ["recorded", "faulted", "skipped", "not reached", "crashes", "hangs", "leaks", "orphans",
           "stuck", "non-converging", "converged", "expected", "success?"]


def print_summary(counts, seconds, report_path):
    width = max(len(name) for name in counts) if counts else 8
    print()
    print("scenario".ljust(width), *(c.rjust(len(c)) for c in COLUMNS), sep="  ")
    total = collections.Counter()
    for name, c in counts.items():
        total.update(c)
        print(name.ljust(width), *(str(c[k]).rjust(len(k)) for k in COLUMNS), sep="  ")
    print("total".ljust(width), *(str(total[k]).rjust(len(k)) for k in COLUMNS), sep="  ")
    print(f"\n{seconds:.0f} s; one line per faulted call in {report_path}")
    print("success?: exited 0 with an end state other than the clean run's (to review)")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit("faultsweep: interrupted; its machines' processes were ended")
