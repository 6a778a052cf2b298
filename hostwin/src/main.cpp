// The host's process entry: records argv for GetCommandLineW and runs the program's wWinMain
// as the Windows start-up code would, then reports the full exit code.
#include "core.h"
#include "process.h"

#include <cstdlib>

int main(int argc, char** argv) {
    hostwin::RecordProgramArguments(argc, argv);
    // The image mark names this process only; a child started without hostwin must not
    // inherit it and pass for this program in a snapshot.
    unsetenv(hostwin::kImageVariable);
    int code = wWinMain(GetModuleHandleW(NULL), NULL, hostwin::CommandLineTail(), SW_SHOWDEFAULT);
    hostwin::ReportExitCode(static_cast<DWORD>(code));
    return code;
}
