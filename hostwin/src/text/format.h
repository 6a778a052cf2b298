// The C runtime's wide formatter, for hostwin's own code (the public printf family and
// FormatMessageW's inserts share it).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace hostwin {

// Appends `format` rendered with `args` to `out`; false on a malformed or unsupported
// specification (floating point, %n).
bool FormatWide(std::u16string& out, const WCHAR* format, va_list args);

} // namespace hostwin
