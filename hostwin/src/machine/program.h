// The host program frame: what the process entry needs from it beside the public
// RunHostProgram.
#pragma once

#include <windows.h>

namespace hostwin {

// The command line after the program name and the blanks that follow it: wWinMain's lpCmdLine.
LPWSTR CommandLineTail();

} // namespace hostwin
