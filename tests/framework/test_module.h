// A module class for framework tests, in place of the service's.
#pragma once

#include "servermodule.h"

constexpr int kTestClassTableSlots = 4;
// Empty unless a test puts entries in; tests clear what they set.
extern ClassTableEntry* g_testClassTable[kTestClassTableSlots];

class CTestModule : public CServiceModuleT<CTestModule, 100> {
public:
    HRESULT SetUpSecurity() { return s_securityResult; }

    // Tests may put their own result in place of the framework's pre-loop step.
    HRESULT BeforeLoop(int nShowCmd) {
        if (s_replaceBeforeLoop)
            return s_beforeLoopResult;
        return CServiceModuleT<CTestModule, 100>::BeforeLoop(nShowCmd);
    }

    // Counts the AppID script's runs by direction and answers with the result tests set.
    static HRESULT ApplyAppIdScript(BOOL bRegister) {
        ++s_appIdScriptRuns[bRegister ? 1 : 0];
        return s_appIdScriptResult;
    }

    static HRESULT s_securityResult;
    static HRESULT s_appIdScriptResult;
    static int s_appIdScriptRuns[2]; // [0] unregister, [1] register
    static bool s_replaceBeforeLoop;
    static HRESULT s_beforeLoopResult;

    static LPCOLESTR GetAppIdOle() { return OLESTR("{00000000-1111-2222-3333-444444444444}"); }
    static LPCTSTR GetAppIdText() { return TEXT("{00000000-1111-2222-3333-444444444444}"); }
};

extern CTestModule g_testModule;
