// The host build's <windows.h>: the Win32 subset that the system uses, implemented by hostwin.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winuser.h"
#include "winreg.h"
#include "winsvc.h"
#include "objbase.h"
