// Temporary buffers: a small inline part for the common case, the task allocator beyond it.
//
// Allocate raises CHResultException when the buffer cannot be had (the size product overflows
// 32 bits: 0x80070216; the heap refuses: E_OUTOFMEMORY). TryAllocate answers NULL instead, for
// callers whose failure result is fixed by their own contract. A new allocation replaces the
// previous one; the heap part is freed by the destructor.
#pragma once

#include "errors.h"

#include <windows.h>
#include <objbase.h>

template <class T, DWORD InlineCount> class CTempBuffer {
public:
    CTempBuffer() = default;
    ~CTempBuffer() { FreeHeap(); }
    CTempBuffer(const CTempBuffer&) = delete;
    CTempBuffer& operator=(const CTempBuffer&) = delete;

    T* Allocate(DWORD count) {
        DWORD bytes = 0;
        HRESULT hr = MultiplySizes(count, sizeof(T), &bytes);
        if (FAILED(hr))
            ThrowHResult(hr);
        T* buffer = TryAllocate(count);
        if (buffer == NULL)
            ThrowHResult(E_OUTOFMEMORY);
        return buffer;
    }

    T* TryAllocate(DWORD count) {
        FreeHeap();
        if (count <= InlineCount)
            return m_current = m_inline;
        DWORD bytes = 0;
        if (FAILED(MultiplySizes(count, sizeof(T), &bytes)))
            return NULL;
        m_heap = static_cast<T*>(CoTaskMemAlloc(bytes));
        return m_current = m_heap;
    }

    // The buffer last allocated, or NULL.
    operator T*() const { return m_current; }

private:
    void FreeHeap() {
        CoTaskMemFree(m_heap);
        m_heap = NULL;
        m_current = NULL;
    }

    T* m_current = NULL;
    T* m_heap = NULL;
    T m_inline[InlineCount];
};
