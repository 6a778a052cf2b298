// The host's process entry for programs with a Windows entry: runs the program's wWinMain as
// the Windows start-up code would, inside the host program frame.
#include "base/core.h"
#include "machine/program.h"

#include <cstdio>

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, [](int argc, char** argv) {
        // The command line is UTF-16: bytes that are not UTF-8 have no form in it, and replacing
        // them would let two different arguments read as one.
        if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0) {
            std::fprintf(stderr,
                         "hostwin: argument %d of %s is not valid UTF-8; the program is not "
                         "started\n",
                         bad, argv[0]);
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        return wWinMain(GetModuleHandleW(NULL), NULL, hostwin::CommandLineTail(), SW_SHOWDEFAULT);
    });
}
