// The kinds of object the named-security functions take.
#pragma once

#include "windef.h"

extern "C" {

typedef enum _SE_OBJECT_TYPE {
    SE_UNKNOWN_OBJECT_TYPE = 0,
    SE_FILE_OBJECT,
    SE_SERVICE,
    SE_PRINTER,
    SE_REGISTRY_KEY,
} SE_OBJECT_TYPE;

} // extern "C"
