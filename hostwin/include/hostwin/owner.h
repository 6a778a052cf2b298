// One owner for every host resource: a move-only wrapper over a close policy, with one-line
// aliases per kind. Closing never changes the thread's last error or errno, so an owner that
// goes out of scope on a failure path leaves the failure's code for the caller to read.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <unistd.h>

namespace hostwin {

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
    // Closes what is held (keeping the last error and errno) and holds `value` instead.
    void reset(Value value = Policy::Invalid()) {
        Value old = std::exchange(m_value, value);
        if (old == Policy::Invalid())
            return;
        const DWORD lastError = GetLastError();
        const int savedErrno = errno;
        Policy::Close(old);
        errno = savedErrno;
        SetLastError(lastError);
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
// CreateToolhelp32Snapshot (and file functions) fail with INVALID_HANDLE_VALUE, not NULL.
struct SnapshotPolicy {
    using Value = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct RegistryKeyPolicy {
    using Value = HKEY;
    static HKEY Invalid() { return NULL; }
    static void Close(HKEY key) { RegCloseKey(key); }
};
struct FileDescriptorPolicy {
    using Value = int;
    static int Invalid() { return -1; }
    static void Close(int fd) { ::close(fd); }
};
struct StdioFilePolicy {
    using Value = FILE*;
    static FILE* Invalid() { return nullptr; }
    static void Close(FILE* file) { std::fclose(file); }
};

using UniqueHandle = UniqueResource<KernelHandlePolicy>;
using UniqueSnapshot = UniqueResource<SnapshotPolicy>;
using UniqueKey = UniqueResource<RegistryKeyPolicy>;
using UniqueFd = UniqueResource<FileDescriptorPolicy>;
using UniqueFile = UniqueResource<StdioFilePolicy>;

} // namespace hostwin
