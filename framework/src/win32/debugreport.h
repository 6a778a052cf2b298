// The debug-report function of the Windows target. The MinGW runtime has no debug C runtime,
// so its <crtdbg.h> declares none; debugreport.cpp provides it and the build force-includes
// this declaration into the framework's sources, which call it as the platform function.
#pragma once

#include <windows.h>

extern "C" int __cdecl _CrtDbgReportW(int reportType, const WCHAR* filename, int linenumber,
                                      const WCHAR* moduleName, const WCHAR* format, ...);
