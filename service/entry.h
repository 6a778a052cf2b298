// The process entry's last line of defence: an error that reaches it ends the process with
// the error's code instead of a crash.
#pragma once

#include "errors.h"

#include <windows.h>

// Structured exceptions have no frame handler here; the top-level filter ends the process
// with the exception code as its exit code.
inline LONG WINAPI EndProcessWithExceptionCode(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

template <class Body> int RunEntry(Body body) {
    SetUnhandledExceptionFilter(EndProcessWithExceptionCode);
    try {
        return body();
    } catch (const CHResultException& e) {
        return e.m_errorCode;
    }
}
