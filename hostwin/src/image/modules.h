// Module handles shared with the other areas (the module file name, the process entry).
#pragma once

#include <windows.h>

namespace hostwin {

// This executable's module handle: its load address, as on Windows. GetModuleHandleW(NULL)
// returns it, and the process entry passes it to wWinMain as the instance handle.
HMODULE ExecutableModule();
// NULL and ExecutableModule() both name this executable in the module functions.
bool IsExecutableModule(HMODULE module);

} // namespace hostwin
