#include "peruser.h"

namespace {
// Set only by the main thread while it reads the command line, before any other thread runs.
bool g_bPerUserRegistration = false;
} // namespace

HRESULT SetPerUserRegistration(bool bEnable) {
    g_bPerUserRegistration = bEnable;
    return S_OK;
}

HRESULT GetPerUserRegistration(bool* pbEnabled) {
    if (pbEnabled == NULL)
        return E_POINTER;
    *pbEnabled = g_bPerUserRegistration;
    return S_OK;
}
