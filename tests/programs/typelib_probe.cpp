// A host program without resources that runs one registration step of the framework on its
// own module, so that tests can place it at paths of chosen length and beside chosen .tlb
// files. TYPELIB_PROBE_STEP is "load", "register" or "unregister" (the type library) or
// "install-service" (a service entry "probeservice" for this program); TYPELIB_PROBE_PER_USER=1
// sets the per-user flag. The step's HRESULT is the exit code (E_FAIL for an installation that
// failed); "load" also prints the path that loaded.
#include "comholders.h"
#include "errors.h"
#include "moduleobjects.h"
#include "core.h"
#include "serviceinstall.h"
#include "typelib.h"

#include <hostwin/control.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
ClassTableEntry* g_noClasses[1] = {};
} // namespace

// The framework's process-wide objects, which its error raising traces through.
FRAMEWORK_EARLY_OBJECTS(g_noClasses, g_noClasses);
FRAMEWORK_LATE_TRACE_CATEGORIES();

namespace {

HRESULT RunStep(HINSTANCE hInstance, const char* step) {
    if (std::strcmp(step, "load") == 0) {
        CBstrHolder path;
        CComPointer<ITypeLib> typeLib;
        HRESULT hr = LoadServerTypeLib(hInstance, path.Out(), typeLib.Out());
        if (SUCCEEDED(hr))
            std::printf("%s\n", hostwin::ToUtf8(path.Get()).c_str());
        return hr;
    }
    if (std::strcmp(step, "register") == 0)
        return RegisterServerTypeLib(hInstance);
    if (std::strcmp(step, "unregister") == 0)
        return UnregisterServerTypeLib(hInstance);
    if (std::strcmp(step, "install-service") == 0)
        return InstallServiceEntry(TEXT("probeservice")) ? S_OK : E_FAIL;
    return E_INVALIDARG;
}

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    const char* perUser = std::getenv("TYPELIB_PROBE_PER_USER");
    SetPerUserRegistration(perUser != nullptr && std::strcmp(perUser, "1") == 0);
    const char* step = std::getenv("TYPELIB_PROBE_STEP");
    try {
        return RunStep(hInstance, step ? step : "");
    } catch (const CHResultException& e) {
        return e.m_errorCode;
    }
}
