// What the COM units share.
#pragma once

#include <windows.h>

#include <string>

namespace hostwin {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as StringFromGUID2 writes it. hostwin's own code
// uses this rather than the public call, whose injected faults are for the program's calls.
std::u16string GuidText(const GUID& guid);

} // namespace hostwin
