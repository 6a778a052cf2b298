// Every process-wide object, in the one order they must be built in (and torn down in
// reverse): the framework's early records, the agent folder, the module, the late categories.
#include "agent.h"
#include "tollivarmodule.h"

#include "moduleobjects.h"

namespace {
// tollivar exposes no COM class: one empty slot.
ClassTableEntry* s_classTable[] = {NULL};
} // namespace

FRAMEWORK_EARLY_OBJECTS(s_classTable, s_classTable + 1);
std::string g_agentDirectory("C:\\pellard\\bin\\");
CtollivarModule g_module;
FRAMEWORK_LATE_TRACE_CATEGORIES();
