// The host's process entry for programs with a Windows entry: runs the program's wWinMain as
// the Windows start-up code would, inside the host program frame.
#include "base/core.h"
#include "machine/program.h"

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, [](int, char**) {
        return wWinMain(GetModuleHandleW(NULL), NULL, hostwin::CommandLineTail(), SW_SHOWDEFAULT);
    });
}
