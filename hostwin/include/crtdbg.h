// Debug C runtime report hook of the host build.
#pragma once

#include "windef.h"

#define _CRT_WARN 0
#define _CRT_ERROR 1
#define _CRT_ASSERT 2

extern "C" int __cdecl _CrtDbgReportW(int reportType, const WCHAR* filename, int linenumber,
                                      const WCHAR* moduleName, const WCHAR* format, ...);
