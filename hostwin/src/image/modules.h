// Module handles shared with the other areas (the module file name, the process entry).
#pragma once

#include "image/peimage.h"

#include <windows.h>

#include <vector>

namespace hostwin {

// This executable's module handle: its load address, as on Windows. GetModuleHandleW(NULL)
// returns it, and the process entry passes it to wWinMain as the instance handle.
HMODULE ExecutableModule();
// NULL and ExecutableModule() both name this executable in the module functions.
bool IsExecutableModule(HMODULE module);

// A copy of one resource of `module` (language 0 picks as FindResourceW does), for hostwin's
// own readers; 0, ERROR_INVALID_HANDLE for a handle that names no module, or the
// ERROR_RESOURCE_*_NOT_FOUND code of the search. The last error is left as it was.
DWORD CopyModuleResource(HMODULE module, const ResourceId& type, const ResourceId& name,
                         WORD language, std::vector<BYTE>* bytes);

} // namespace hostwin
