// A small growable array of plain values, keeping insertion order. Index contracts are
// enforced: an index outside the used elements is reported and raised, never read.
#pragma once

#include "errors.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

template <class T> class CSimpleArray {
    static_assert(std::is_trivially_copyable<T>::value, "elements are moved with memmove");

public:
    CSimpleArray() = default;
    ~CSimpleArray() { RemoveAll(); }
    CSimpleArray(const CSimpleArray&) = delete;
    CSimpleArray& operator=(const CSimpleArray&) = delete;

    int GetSize() const { return m_nSize; }

    // false when the storage cannot grow.
    bool Add(const T& t) {
        if (m_nSize == m_nAllocSize) {
            // Growing frees the old storage, which `t` would then point into.
            if (m_aT != NULL && &t >= m_aT && &t < m_aT + m_nAllocSize)
                ThrowHResult(E_FAIL);
            int newAlloc = m_nAllocSize == 0 ? 4 : m_nAllocSize * 2;
            DWORD bytes = 0;
            if (newAlloc <= m_nAllocSize ||
                FAILED(MultiplySizes(static_cast<DWORD>(newAlloc), sizeof(T), &bytes)))
                return false;
            T* grown = static_cast<T*>(std::realloc(m_aT, bytes));
            if (grown == NULL)
                return false;
            m_aT = grown;
            m_nAllocSize = newAlloc;
        }
        m_aT[m_nSize++] = t;
        return true;
    }

    // Removes the first element equal to `t`; later elements move down one place.
    bool Remove(const T& t) {
        for (int i = 0; i < m_nSize; ++i) {
            if (m_aT[i] == t) {
                std::memmove(m_aT + i, m_aT + i + 1,
                             sizeof(T) * static_cast<size_t>(m_nSize - i - 1));
                --m_nSize;
                return true;
            }
        }
        return false;
    }

    void RemoveAll() {
        std::free(m_aT);
        m_aT = NULL;
        m_nSize = 0;
        m_nAllocSize = 0;
    }

    T& operator[](int nIndex) {
        CheckIndex(nIndex);
        return m_aT[nIndex];
    }
    const T& operator[](int nIndex) const {
        CheckIndex(nIndex);
        return m_aT[nIndex];
    }

private:
    void CheckIndex(int nIndex) const {
        if (!CHECK_OR_REPORT(nIndex >= 0 && nIndex < m_nSize))
            RaiseStructuredException(EXCEPTION_ARRAY_BOUNDS_EXCEEDED, EXCEPTION_NONCONTINUABLE);
    }

    T* m_aT = NULL;
    int m_nSize = 0;
    int m_nAllocSize = 0;
};
