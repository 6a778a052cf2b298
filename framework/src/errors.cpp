#include "errors.h"

#include "trace.h"

#include <crtdbg.h>
#include <tchar.h>

#include <cstdlib>
#include <new>

HRESULT HResultFromWin32(LONG code) {
    if (code <= 0)
        return static_cast<HRESULT>(code);
    return static_cast<HRESULT>((static_cast<DWORD>(code) & 0x0000FFFF) | 0x80070000);
}

HRESULT HResultFromLastError() {
    return HResultFromWin32(static_cast<LONG>(GetLastError()));
}

void ThrowHResult(HRESULT hr) {
    FRAMEWORK_TRACE(traceException, 0, TEXT("ThrowHResult: hr = 0x%x\n"), hr);
    throw CHResultException(hr);
}

HRESULT HResultOfException(const std::exception_ptr& exception) noexcept {
    if (!exception)
        return kUnknownExceptionResult;
    try {
        std::rethrow_exception(exception);
    } catch (const CHResultException& e) {
        return e.m_errorCode;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return kUnknownExceptionResult;
    }
}

HRESULT HResultFromCaughtException(LPCWSTR where) noexcept {
    HRESULT hr = HResultOfException(std::current_exception());
    FRAMEWORK_TRACE(traceException, 0, TEXT("%ls: caught exception, hr = 0x%x\n"), where, hr);
    return hr;
}

int CheckCrtError(int error) {
    switch (error) {
    case 0:
    case STRUNCATE:
        return error;
    case ENOMEM:
        ThrowHResult(E_OUTOFMEMORY);
    case EINVAL:
    case ERANGE:
        ThrowHResult(E_INVALIDARG);
    default:
        ThrowHResult(E_FAIL);
    }
}

HRESULT MultiplySizes(DWORD a, DWORD b, DWORD* product) {
    unsigned long long full = static_cast<unsigned long long>(a) * b;
    if ((full >> 32) != 0)
        return HResultFromWin32(ERROR_ARITHMETIC_OVERFLOW);
    *product = static_cast<DWORD>(full);
    return S_OK;
}

void RaiseStructuredException(DWORD code, DWORD flags) {
    RaiseException(code, flags, 0, NULL);
    // A continuable exception whose handler asked to continue lands here; the contract is
    // broken all the same, so do not return into the caller's invalid state.
    RaiseException(EXCEPTION_NONCONTINUABLE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
    std::abort();
}

void ReportFailedCheck(LPCWSTR file, int line, LPCWSTR expression) {
    if (_CrtDbgReportW(_CRT_ASSERT, file, line, NULL, TEXT("%ls"), expression) == 1)
        DebugBreak();
}
