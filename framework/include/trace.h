// Trace categories and the trace output to the debug-report facility.
#pragma once

#include <windows.h>

#include <cstdarg>

// Where a trace was issued.
struct TraceLocation {
    const char* file;
    int line;
};

struct TraceCategoryEntry {
    DWORD flag;
    WCHAR name[128];
};

constexpr unsigned kMaxTraceCategories = 32;
extern TraceCategoryEntry g_traceCategories[kMaxTraceCategories];
extern unsigned g_traceCategoryCount;
// Only traces at or below this level are emitted; 0xFFFFFFFF drops every trace.
extern DWORD g_traceLevel;
extern DWORD g_traceCategoryMask;

void RegisterTraceCategory(LPCWSTR name, DWORD flag);
// The name registered first for exactly this flag, or NULL.
LPCWSTR FindTraceCategoryName(DWORD flag);

// Formats and emits one trace line; never changes the thread's last error.
void TraceMessage(const TraceLocation& location, DWORD category, UINT level, LPCWSTR format, ...);
void TraceMessageV(const char* file, int line, DWORD category, UINT level, LPCWSTR format,
                   va_list args);
void EmitTrace(const char* file, int line, DWORD category, UINT level, LPCWSTR text);

// A named category: registers itself when constructed and stands for its flag.
template <DWORD Flag> class TraceCategory {
public:
    explicit TraceCategory(LPCWSTR name) { RegisterTraceCategory(name, Flag); }
    operator DWORD() const { return Flag; }
};

// The program defines these once, in its module-objects translation unit (moduleobjects.h).
extern TraceCategory<0x1> traceGeneral;
extern TraceCategory<0x2> traceCOM;
extern TraceCategory<0x8> traceRegistrar;
extern TraceCategory<0x20> traceWindowing;
extern TraceCategory<0x2000> traceException;
extern TraceCategory<0x4> traceQI;
extern TraceCategory<0x10> traceRefcount;
extern TraceCategory<0x40> traceControls;
extern TraceCategory<0x80> traceHosting;
extern TraceCategory<0x100> traceDBClient;
extern TraceCategory<0x200> traceDBProvider;
extern TraceCategory<0x400> traceSnapin;
extern TraceCategory<0x800> traceNotImpl;
extern TraceCategory<0x1000> traceAllocation;
extern TraceCategory<0x4000> traceTime;
extern TraceCategory<0x8000> traceCache;
extern TraceCategory<0x10000> traceStencil;
extern TraceCategory<0x20000> traceString;
extern TraceCategory<0x40000> traceMap;
extern TraceCategory<0x80000> traceUtil;
extern TraceCategory<0x100000> traceSecurity;
extern TraceCategory<0x200000> traceSync;
extern TraceCategory<0x400000> traceISAPI;

#define FRAMEWORK_TRACE(category, level, ...)                                                      \
    TraceMessage(TraceLocation{__FILE__, __LINE__}, (category), (level), __VA_ARGS__)
