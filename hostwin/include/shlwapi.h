// Shell lightweight utilities subset.
#pragma once

#include <windows.h>

extern "C" {
int WINAPI StrCmpW(LPCWSTR psz1, LPCWSTR psz2);
int WINAPI StrCmpIW(LPCWSTR psz1, LPCWSTR psz2);
}
