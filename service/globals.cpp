// Every process-wide object, in the one order they must be built in (and torn down in
// reverse): the process guard, the framework's early records, the module, the late
// categories. The agent folder is a constant, there before any of them.
#include "agent.h"
#include "processguard.h"
#include "tollivarmodule.h"

#include "moduleobjects.h"

namespace {
// tollivar exposes no COM class: one empty slot.
ClassTableEntry* s_classTable[] = {NULL};
} // namespace

// First of all, also before the objects of other files: a fault in any constructor after it
// ends the process with a code instead of waiting for a person.
CProcessGuard g_processGuard __attribute__((init_priority(101)));
FRAMEWORK_EARLY_OBJECTS(s_classTable, s_classTable + 1);
const char g_agentDirectory[] = "C:\\pellard\\bin\\";
CtollivarModule g_module;
FRAMEWORK_LATE_TRACE_CATEGORIES();
