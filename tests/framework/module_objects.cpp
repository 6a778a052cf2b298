// The framework test program's process-wide objects, built in the program order: a test
// module stands where the service's module stands, and its class table has slots that tests
// fill with their own entries.
#include "test_module.h"

#include "moduleobjects.h"

ClassTableEntry* g_testClassTable[kTestClassTableSlots] = {};
HRESULT CTestModule::s_securityResult = S_OK;
HRESULT CTestModule::s_appIdScriptResult = S_OK;
int CTestModule::s_appIdScriptRuns[2] = {};
bool CTestModule::s_replaceBeforeLoop = false;
HRESULT CTestModule::s_beforeLoopResult = S_OK;

FRAMEWORK_EARLY_OBJECTS(g_testClassTable, g_testClassTable + kTestClassTableSlots);
CTestModule g_testModule;
FRAMEWORK_LATE_TRACE_CATEGORIES();
