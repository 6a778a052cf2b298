// The fuzz program's process-wide framework objects; it has no module object of its own.
#include "moduleobjects.h"

namespace {
ClassTableEntry* s_classTable[] = {NULL};
} // namespace

FRAMEWORK_EARLY_OBJECTS(s_classTable, s_classTable + 1);
FRAMEWORK_LATE_TRACE_CATEGORIES();
