// The host program frame: how a program starts and ends, and its Windows view of itself (its
// command line, built from argv by the Windows quoting rules, and its module path in Windows
// form).
#include "base/core.h"
#include "machine/program.h"
#include "process/image_search.h"
#include "image/modules.h"
#include "process/process.h"
#include "process/procfs.h"
#include "registry/registry_store.h"

#include <hostwin/owner.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace hostwin {

namespace {

// The program name ends at the first blank outside quotes; quotes only group, with no escapes,
// since a file name cannot hold a quote. Returns where the name ends.
size_t SplitProgramName(const std::u16string& line, std::u16string& name) {
    bool quoted = false;
    size_t i = 0;
    for (; i < line.size(); ++i) {
        if (line[i] == u'"')
            quoted = !quoted;
        else if (!quoted && IsCommandLineBlank(line[i]))
            break;
        else
            name += line[i];
    }
    return i;
}

// A program path needs quotes only to hold its blanks together.
std::u16string QuoteProgramName(const std::u16string& name) {
    bool blank = name.empty() || name.find_first_of(u" \t") != std::u16string::npos;
    return blank ? u"\"" + name + u"\"" : name;
}

// Quotes an argument so that the C runtime splits it back unchanged: backslashes are literal
// unless they precede a quote, where each one and the quote itself need escaping.
std::u16string QuoteArgument(const std::u16string& argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos)
        return argument;
    std::u16string quoted = u"\"";
    size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"')
            quoted.append(backslashes * 2 + 1, u'\\');
        else
            quoted.append(backslashes, u'\\');
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote are doubled so that they do not escape it.
    quoted.append(backslashes * 2, u'\\');
    quoted += u'"';
    return quoted;
}

struct ProgramState {
    std::mutex lock;
    bool recorded = false;
    std::vector<std::string> argv;
    // Every line handed out stays valid for the life of the process, as on Windows.
    std::deque<std::u16string> lines;
    std::deque<std::u16string> tails;
};
ProgramState& Program() {
    static ProgramState* state = new ProgramState;
    return *state;
}

std::vector<std::string> ArgumentsFromProc() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    return SplitNulSeparated(text);
}

// The command line of this process; the machine root can change (tests), and with it the
// Windows form of the program path, so it is built afresh and kept only when it changed.
const std::u16string& CurrentCommandLine(ProgramState& program) {
    if (!program.recorded) {
        program.argv = ArgumentsFromProc();
        program.recorded = true;
    }
    std::vector<std::u16string> argv{WindowsPath(OwnExecutablePath())};
    for (size_t i = 1; i < program.argv.size(); ++i)
        argv.push_back(FromUtf8(program.argv[i]));
    std::u16string line = BuildCommandLine(argv);
    if (program.lines.empty() || program.lines.back() != line)
        program.lines.push_back(std::move(line));
    return program.lines.back();
}

} // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
    std::vector<std::u16string> argv;
    std::u16string program;
    size_t i = SplitProgramName(line, program);
    argv.push_back(program);
    for (;;) {
        while (i < line.size() && IsCommandLineBlank(line[i]))
            ++i;
        if (i >= line.size())
            break;
        std::u16string argument;
        bool quoted = false;
        for (; i < line.size(); ++i) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == u'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == u'"') {
                // 2n backslashes and a quote: n backslashes, and the quote toggles quoting
                // (a doubled quote inside quotes is one literal quote); 2n+1: n and a quote.
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2 == 1) {
                    argument += u'"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    argument += u'"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                continue;
            }
            argument.append(backslashes, u'\\');
            if (i >= line.size() || (!quoted && IsCommandLineBlank(line[i])))
                break;
            argument += line[i];
        }
        argv.push_back(std::move(argument));
    }
    return argv;
}

std::u16string BuildCommandLine(const std::vector<std::u16string>& argv) {
    std::u16string line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0)
            line += u' ';
        line += i == 0 ? QuoteProgramName(argv[i]) : QuoteArgument(argv[i]);
    }
    return line;
}

namespace {

std::string OwnLedgerFields(const char* event) {
    return std::string(event) + "\t" + ProgramImageName() + "\t" + std::to_string(getpid());
}

// The program's argv as main received it. Without it the command line comes from /proc.
void RecordProgramArguments(int argc, char** argv) {
    ProgramState& program = Program();
    std::lock_guard<std::mutex> guard(program.lock);
    program.argv.assign(argv, argv + argc);
    program.recorded = true;
}

// The end of a host program, however it ends (its entry returns, ExitProcess): writes
// "exit code 0x%08X" to stderr under HOSTWIN_SHOW_EXIT_CODE=1, the handles still open to
// HOSTWIN_HANDLE_REPORT=FILE, and flushes output.
void ReportExitCode(DWORD code) {
    const char* show = std::getenv("HOSTWIN_SHOW_EXIT_CODE");
    if (show && std::strcmp(show, "1") == 0)
        std::fprintf(stderr, "exit code 0x%08X\n", code);
    const HandleCounts counts = OpenHandleCounts();
    char endDetails[16];
    std::snprintf(endDetails, sizeof endDetails, "\t0x%08X", code);
    std::string openHandles;
    for (size_t kind = 0; kind < kHandleKindCount; ++kind)
        if (counts[kind] != 0)
            openHandles += std::string(openHandles.empty() ? "" : ",") +
                           HandleKindName(static_cast<HandleKind>(kind)) + "=" +
                           std::to_string(counts[kind]);
    WriteProcessLedger(OwnLedgerFields("end") + endDetails + "\t" + openHandles);
    // One "kind count" line per handle kind, so that tests of whole programs can see leaks.
    if (const char* report = std::getenv("HOSTWIN_HANDLE_REPORT"); report && *report) {
        std::string text;
        for (size_t kind = 0; kind < kHandleKindCount; ++kind)
            text += std::string(HandleKindName(static_cast<HandleKind>(kind))) + "\t" +
                    std::to_string(counts[kind]) + "\n";
        if (UniqueFile out{std::fopen(report, "we")}) {
            std::fputs(text.c_str(), out.get());
        } else {
            std::fprintf(stderr, "hostwin: cannot write the handle report to %s\n", report);
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
}

// Fault entries scoped to a program, and the fault-point log, name this program by its image
// file name. It is handed down to the core at the earliest priority a program may use (101),
// so that it is known to every static initialiser of default priority that reaches a fault
// point.
__attribute__((constructor(101))) void HandDownImageName() {
    const std::string path = OwnExecutablePath();
    SetProgramImageName(path.substr(path.rfind('/') + 1));
}

} // namespace

int RunHostProgram(int argc, char** argv, int (*body)(int argc, char** argv)) {
    RecordProgramArguments(argc, argv);
    LoadTestControls();
    WriteProcessLedger(OwnLedgerFields("start"));
    const int code = body(argc, argv);
    ReportExitCode(static_cast<DWORD>(code));
    return code;
}

int FirstNonUtf8Argument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (!Utf8ToUtf16(argv[i]))
            return i;
    return -1;
}

LPWSTR CommandLineTail() {
    ProgramState& program = Program();
    std::lock_guard<std::mutex> guard(program.lock);
    const std::u16string& line = CurrentCommandLine(program);
    std::u16string name;
    size_t end = SplitProgramName(line, name);
    while (end < line.size() && IsCommandLineBlank(line[end]))
        ++end;
    program.tails.push_back(line.substr(end));
    return program.tails.back().data();
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

LPWSTR WINAPI GetCommandLineW() {
    LogCall(__func__, "%s", "");
    ProgramState& program = Program();
    std::lock_guard<std::mutex> guard(program.lock);
    return const_cast<LPWSTR>(CurrentCommandLine(program).c_str());
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    HOSTWIN_FAULT_POINT(0);
    // Only this program's own module has a file name; data-file modules have none.
    if (!IsExecutableModule(hModule))
        return FailWith(ERROR_MOD_NOT_FOUND, static_cast<DWORD>(0));
    if (lpFilename == NULL && nSize > 0)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<DWORD>(0));
    const std::u16string path = WindowsPath(OwnExecutablePath());
    if (path.size() < nSize) {
        std::copy(path.begin(), path.end(), lpFilename);
        lpFilename[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    // Too small: as much as fits, still terminated, and the buffer's size as the result.
    if (nSize > 0) {
        std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
        lpFilename[nSize - 1] = 0;
    }
    return FailWith(ERROR_INSUFFICIENT_BUFFER, nSize);
}

void WINAPI ExitProcess(UINT uExitCode) {
    registry::CloseStore(); // _exit skips the handler that would
    ReportExitCode(uExitCode);
    _exit(static_cast<int>(uExitCode & 0xFF));
}

} // extern "C"
