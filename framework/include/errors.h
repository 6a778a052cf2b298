// Error conversion, the framework's one exception type, and failed-check reports.
#pragma once

#include <windows.h>

#include <exception>

// The framework's only exception. Raised by ThrowHResult for out-of-memory, failed bounded
// copies and size overflow; caught only at the edge of a function that Windows calls.
class CHResultException {
public:
    explicit CHResultException(HRESULT hr) : m_errorCode(hr) {}
    HRESULT m_errorCode;
};

// The result of an exception of no type the framework knows. The customer bit keeps it apart
// from every code the platform defines.
constexpr HRESULT kUnknownExceptionResult = static_cast<HRESULT>(0xA0000001);

// A CHResultException's own code, E_OUTOFMEMORY for std::bad_alloc, kUnknownExceptionResult for
// anything else or for no exception at all.
HRESULT HResultOfException(const std::exception_ptr& exception) noexcept;

// For the catch (...) at the edge of a function that Windows calls (entry, thread procedure,
// service main, control handler, timer callback): no exception may unwind into Windows, whose
// frames the toolchain cannot unwind. Writes one trace line naming `where` and returns the
// caught exception's HRESULT.
HRESULT HResultFromCaughtException(LPCWSTR where) noexcept;

// A code <= 0 stays as it is; a positive one becomes (code & 0xFFFF) | 0x80070000.
HRESULT HResultFromWin32(LONG code);
HRESULT HResultFromLastError();

[[noreturn]] void ThrowHResult(HRESULT hr);

// Passes 0 and STRUNCATE through; raises the matching HRESULT for every other C runtime error.
int CheckCrtError(int error);

// Full 64-bit product; overflow of 32 bits gives 0x80070216 and leaves *product untouched.
HRESULT MultiplySizes(DWORD a, DWORD b, DWORD* product);

// Index and contract violations of the simple collections: RaiseException, no arguments.
[[noreturn]] void RaiseStructuredException(DWORD code, DWORD flags);

// Reports a violated internal condition at assertion level; the caller then goes on with its
// own failure path.
void ReportFailedCheck(LPCWSTR file, int line, LPCWSTR expression);

#define FRAMEWORK_WIDEN2(x) TEXT(x)
#define FRAMEWORK_WIDEN(x) FRAMEWORK_WIDEN2(x)

// Checks `expr`; when it is false, reports its text with the call site and evaluates to false.
#define CHECK_OR_REPORT(expr)                                                                      \
    ((expr) ? true                                                                                 \
            : (ReportFailedCheck(FRAMEWORK_WIDEN(__FILE__), __LINE__, FRAMEWORK_WIDEN(#expr)),     \
               false))
// An unconditional report; `text` is the expression text as it is reported.
#define REPORT_FAILED_CHECK(text)                                                                  \
    ReportFailedCheck(FRAMEWORK_WIDEN(__FILE__), __LINE__, FRAMEWORK_WIDEN(text))
