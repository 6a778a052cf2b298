// The process entry's edge: no exception leaves it. An error that reaches it becomes the exit
// code instead of a crash.
#pragma once

#include "errors.h"

#include <tchar.h>

// A CHResultException gives its own code, std::bad_alloc E_OUTOFMEMORY, anything else
// kUnknownExceptionResult; each with one trace line.
template <class Body> int RunEntry(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return HResultFromCaughtException(TEXT("wWinMain"));
    }
}
