// The host's resource owners: the product's owner template and its Win32 kinds, plus the
// host-only kinds (file descriptors, stdio files) built on it. Their policies also keep errno,
// which the template, being the product's, leaves alone.
#pragma once

// By its path, so that hostwin reaches this one framework header and no other (the framework's
// folder holds names such as core.h that hostwin's own units use too).
#include "../../../framework/include/handleowner.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

namespace hostwin {

using ::UniqueHandle;
using ::UniqueResource;
using ::UniqueScHandle;
using ::UniqueSnapshot;
using UniqueKey = ::UniqueHkey;

struct FileDescriptorPolicy {
    using Value = int;
    static int Invalid() { return -1; }
    static void Close(int fd) {
        const int savedErrno = errno;
        ::close(fd);
        errno = savedErrno;
    }
};
struct StdioFilePolicy {
    using Value = FILE*;
    static FILE* Invalid() { return nullptr; }
    static void Close(FILE* file) {
        const int savedErrno = errno;
        std::fclose(file);
        errno = savedErrno;
    }
};

using UniqueFd = UniqueResource<FileDescriptorPolicy>;
using UniqueFile = UniqueResource<StdioFilePolicy>;

// Closes a file that was written to and tells whether all of it reached the file: buffered data
// may fail only here. errno tells why when it did not.
inline bool CloseWrittenFile(UniqueFile& file) {
    FILE* written = file.release();
    return written != nullptr && std::fclose(written) == 0;
}

} // namespace hostwin
