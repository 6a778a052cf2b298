// Every template layer of the framework, compiled for Windows as the product instantiates it,
// so that members the product does not call yet are compiled against the real headers too.
#include "tollivarmodule.h"

static_assert(_WIN32_WINNT == 0x0600 && WINVER == 0x0600,
              "the product is built for Windows Vista's headers, so newer calls fail to compile");

template class CServiceModuleT<CtollivarModule, IDS_SERVICENAME>;
template class CExeModuleT<CtollivarModule>;
template class CModuleT<CtollivarModule>;
template class CSimpleArray<HINSTANCE>;
template class CSimpleArray<ATOM>;
