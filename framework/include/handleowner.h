// One owner for every handle kind, for the product, the host layer, the tools and the tests: a
// move-only wrapper over a close policy, with one-line aliases per kind. Closing never changes
// the thread's last error, so an owner that goes out of scope on a failure path leaves the
// failure's code for the caller to read. Only the platform headers and the standard library:
// hostwin's own header builds its host-only kinds (descriptors, stdio files) on this template.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

// Policy: `Value` the resource type, `Invalid()` the value that holds nothing, `Close(v)`.
template <class Policy> class UniqueResource {
public:
    using Value = typename Policy::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : m_value(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Value get() const { return m_value; }
    bool valid() const { return !(m_value == Policy::Invalid()); }
    explicit operator bool() const { return valid(); }

    // Hands the resource over; the owner holds nothing afterwards.
    Value release() { return std::exchange(m_value, Policy::Invalid()); }
    // Closes what is held (keeping the last error) and holds `value` instead.
    void reset(Value value = Policy::Invalid()) {
        Value old = std::exchange(m_value, value);
        if (old == Policy::Invalid())
            return;
        const DWORD dwLastError = GetLastError();
        Policy::Close(old);
        SetLastError(dwLastError);
    }
    // Where a function that opens stores its result; what was held is closed first.
    Value* put() {
        reset();
        return &m_value;
    }

private:
    Value m_value = Policy::Invalid();
};

struct KernelHandlePolicy {
    using Value = HANDLE;
    static HANDLE Invalid() { return NULL; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
// CreateToolhelp32Snapshot fails with INVALID_HANDLE_VALUE, not NULL.
struct SnapshotPolicy {
    using Value = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct ScHandlePolicy {
    using Value = SC_HANDLE;
    static SC_HANDLE Invalid() { return NULL; }
    static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};
struct HkeyPolicy {
    using Value = HKEY;
    static HKEY Invalid() { return NULL; }
    static void Close(HKEY key) { RegCloseKey(key); }
};
struct EventSourcePolicy {
    using Value = HANDLE;
    static HANDLE Invalid() { return NULL; }
    static void Close(HANDLE source) { DeregisterEventSource(source); }
};

using UniqueHandle = UniqueResource<KernelHandlePolicy>;
using UniqueSnapshot = UniqueResource<SnapshotPolicy>;
using UniqueScHandle = UniqueResource<ScHandlePolicy>;
using UniqueHkey = UniqueResource<HkeyPolicy>;
using UniqueEventSource = UniqueResource<EventSourcePolicy>;
