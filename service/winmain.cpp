#include "entry.h"
#include "tollivarmodule.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int nShowCmd) {
    return RunEntry([nShowCmd] { return g_module.ModuleMain(nShowCmd); });
}
