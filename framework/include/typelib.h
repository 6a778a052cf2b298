// The server's type library: loaded from its module (or the .tlb beside it) and registered
// or unregistered with the platform, machine-wide or, with the per-user registration flag
// set, for the current user. Made on the main thread, which has not initialised COM.
#pragma once

#include <windows.h>
#include <oleauto.h>

// On success *pbstrPath is the path that loaded and *ppTypeLib one reference to the library,
// both the caller's; on failure both are null. A module path of 260 characters or more gives
// 0x8007007A; when the module carries no library and "<path without extension>.tlb" would not
// fit in 260 characters, E_FAIL. Raises CHResultException only when a bounded copy fails.
HRESULT LoadServerTypeLib(HINSTANCE hInstTypeLib, BSTR* pbstrPath, ITypeLib** ppTypeLib);

// The platform's (un)registration result, or that of the step that failed before it.
// Registration passes the folder of the library's help file as help directory, if it names
// one (a help file name of 260 characters or more raises CHResultException); unregistration
// passes the LIBID, version, LCID and system kind stored in the library itself.
HRESULT RegisterServerTypeLib(HINSTANCE hInstTypeLib);
HRESULT UnregisterServerTypeLib(HINSTANCE hInstTypeLib);

// The "." that starts the extension of the path's last part, or its terminating NUL when that
// part has none. Only "\" separates folders here.
LPCWSTR FindFileExtension(LPCWSTR pszPath);
// The number of characters up to and including the last "\", "/" or ":"; 0 when there is
// none or no path.
UINT DirectoryPartLength(LPCWSTR pszPath);
