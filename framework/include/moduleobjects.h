// The process-wide objects of the framework are built in a fixed order, which C++ guarantees
// only within one translation unit. The program therefore defines them in one file:
//
//   FRAMEWORK_EARLY_OBJECTS(classTableFirst, classTableEnd)
//   ... the program's own objects, its module object among them ...
//   FRAMEWORK_LATE_TRACE_CATEGORIES()
//
// and they are destroyed at exit in the reverse order.
#pragma once

#include "modulebase.h"
#include "trace.h"

#define FRAMEWORK_EARLY_OBJECTS(classTableFirst, classTableEnd)                                    \
    CBaseModuleRecord g_baseModule;                                                                \
    TraceCategory<0x1> traceGeneral(TEXT("traceGeneral"));                                         \
    TraceCategory<0x2> traceCOM(TEXT("traceCOM"));                                                 \
    TraceCategory<0x8> traceRegistrar(TEXT("traceRegistrar"));                                     \
    TraceCategory<0x20> traceWindowing(TEXT("traceWindowing"));                                    \
    TraceCategory<0x2000> traceException(TEXT("traceException"));                                  \
    CComModuleRecord g_comModule((classTableFirst), (classTableEnd));                              \
    CWindowModuleRecord g_windowModule

#define FRAMEWORK_LATE_TRACE_CATEGORIES()                                                          \
    TraceCategory<0x4> traceQI(TEXT("traceQI"));                                                   \
    TraceCategory<0x10> traceRefcount(TEXT("traceRefcount"));                                      \
    TraceCategory<0x40> traceControls(TEXT("traceControls"));                                      \
    TraceCategory<0x80> traceHosting(TEXT("traceHosting"));                                        \
    TraceCategory<0x100> traceDBClient(TEXT("traceDBClient"));                                     \
    TraceCategory<0x200> traceDBProvider(TEXT("traceDBProvider"));                                 \
    TraceCategory<0x400> traceSnapin(TEXT("traceSnapin"));                                         \
    TraceCategory<0x800> traceNotImpl(TEXT("traceNotImpl"));                                       \
    TraceCategory<0x1000> traceAllocation(TEXT("traceAllocation"));                                \
    TraceCategory<0x4000> traceTime(TEXT("traceTime"));                                            \
    TraceCategory<0x8000> traceCache(TEXT("traceCache"));                                          \
    TraceCategory<0x10000> traceStencil(TEXT("traceStencil"));                                     \
    TraceCategory<0x20000> traceString(TEXT("traceString"));                                       \
    TraceCategory<0x40000> traceMap(TEXT("traceMap"));                                             \
    TraceCategory<0x80000> traceUtil(TEXT("traceUtil"));                                           \
    TraceCategory<0x100000> traceSecurity(TEXT("traceSecurity"));                                  \
    TraceCategory<0x200000> traceSync(TEXT("traceSync"));                                          \
    TraceCategory<0x400000> traceISAPI(TEXT("traceISAPI"))
