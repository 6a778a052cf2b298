// Registration of the class table's class objects with COM, and their revocation.
#pragma once

#include "modulebase.h"

// Registers every entry's class object; S_FALSE when the table holds no entry, else the last
// entry's result or the first failure, at which the walk stops.
HRESULT RegisterAllClassObjects(CComModuleRecord* pComModule, DWORD context, DWORD flags);
// Revokes until an entry answers anything but S_OK.
HRESULT RevokeAllClassObjects(CComModuleRecord* pComModule);

HRESULT RegisterEntryClassObject(ClassTableEntry* entry, DWORD context, DWORD flags);
HRESULT RevokeEntryClassObject(ClassTableEntry* entry);
