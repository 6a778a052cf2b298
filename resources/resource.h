// Resource identifiers of tollivar.exe, shared by the resource script and the code.
#pragma once

// String table: the service's name and display name.
#define IDS_SERVICENAME 100
// "REGISTRY" resource: the AppID registry script.
#define IDR_TOLLIVAR 101
// "TYPELIB" resource: the server's type library.
#define IDR_TYPELIB 1
