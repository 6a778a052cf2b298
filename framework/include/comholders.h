// Owners of one COM interface reference and of one BSTR: each releases what it holds when it
// is destroyed, so a failure or an exception on any path leaves nothing behind.
#pragma once

#include <windows.h>
#include <oleauto.h>

template <class T> class CComPointer {
public:
    CComPointer() = default;
    ~CComPointer() { Release(); }
    CComPointer(const CComPointer&) = delete;
    CComPointer& operator=(const CComPointer&) = delete;

    // Where a call that hands out a reference stores it; a held reference is released first.
    T** Out() {
        Release();
        return &m_p;
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    // Hands the reference over to the caller.
    T* Detach() {
        T* p = m_p;
        m_p = NULL;
        return p;
    }
    void Release() {
        if (m_p != NULL) {
            T* p = m_p;
            m_p = NULL; // cleared first: a release may call back into its holder's owner
            p->Release();
        }
    }

private:
    T* m_p = NULL;
};

class CBstrHolder {
public:
    CBstrHolder() = default;
    ~CBstrHolder() { Free(); }
    CBstrHolder(const CBstrHolder&) = delete;
    CBstrHolder& operator=(const CBstrHolder&) = delete;

    // Where a call that hands out a BSTR stores it; a held string is freed first.
    BSTR* Out() {
        Free();
        return &m_bstr;
    }
    BSTR Get() const { return m_bstr; }
    BSTR Detach() {
        BSTR bstr = m_bstr;
        m_bstr = NULL;
        return bstr;
    }
    void Free() {
        SysFreeString(m_bstr);
        m_bstr = NULL;
    }

private:
    BSTR m_bstr = NULL;
};
