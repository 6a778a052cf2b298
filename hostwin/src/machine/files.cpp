// Files of the machine as the system asks about them: Windows paths mapped to the host's.
#include "base/core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

using namespace hostwin;

namespace {

// Windows tells a missing file from a missing folder on its way.
DWORD MissingPathError(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return ERROR_FILE_NOT_FOUND;
    struct stat parent {};
    if (stat(path.substr(0, slash).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

} // namespace

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    HOSTWIN_FAULT_POINT(INVALID_FILE_ATTRIBUTES);
    if (lpFileName == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    if (*lpFileName == 0)
        return FailWith(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    std::string path = HostPath(lpFileName);
    LogCall(__func__, "%s", path.c_str());
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == EACCES)
            return FailWith(ERROR_ACCESS_DENIED, INVALID_FILE_ATTRIBUTES);
        if (errno == ENAMETOOLONG)
            return FailWith(ERROR_FILENAME_EXCED_RANGE, INVALID_FILE_ATTRIBUTES);
        return FailWith(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : MissingPathError(path),
                        INVALID_FILE_ATTRIBUTES);
    }
    if (S_ISDIR(info.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    // A file the owner may not write is read-only; every other file carries the archive mark
    // that writing a file gives it.
    return (info.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE
                                    : FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
}

} // extern "C"
