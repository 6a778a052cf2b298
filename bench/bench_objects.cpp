// The benchmark programs' process-wide framework objects; they have no module object.
#include "moduleobjects.h"

namespace {
ClassTableEntry* s_classTable[] = {NULL};
} // namespace

FRAMEWORK_EARLY_OBJECTS(s_classTable, s_classTable + 1);
FRAMEWORK_LATE_TRACE_CATEGORIES();
