// The per-user registration flag: one process-wide switch, off at start, that the per-user
// command-line switches turn on so that registration writes the user's classes instead of
// the machine's.
#pragma once

#include <windows.h>

// Stores the flag; always S_OK.
HRESULT SetPerUserRegistration(bool bEnable);
// E_POINTER when given no place; otherwise stores the flag there and returns S_OK.
HRESULT GetPerUserRegistration(bool* pbEnabled);
