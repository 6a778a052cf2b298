// The exit-record store: one small file per ended process below processes/exit/.
#include "machine/exit_records.h"
#include "base/core.h"
#include "machine/machine_layout.h"

#include <hostwin/owner.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace hostwin::exit_records {

namespace {

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The process ends all the same, with the signal's code: whoever looks into why finds the
// lost code on the debug output.
DWORD Unrecorded(pid_t pid, DWORD code, DWORD error) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "hostwin: exit code 0x%08X of process %d not recorded (error %u)\n", code,
                  static_cast<int>(pid), error);
    // Debug output changes the last error, as Windows' does; the caller's call still succeeds.
    const DWORD lastError = GetLastError();
    OutputDebugStringW(FromUtf8(text).c_str());
    SetLastError(lastError);
    return error;
}

} // namespace

DWORD Create(pid_t pid, unsigned long long startTime, DWORD code) {
    const std::string path = layout::ExitRecord(pid, startTime);
    std::error_code folderError;
    std::filesystem::create_directories(layout::ExitRecordsFolder(), folderError);
    if (folderError)
        return Unrecorded(pid, code, WriteErrorFromErrno(folderError.value()));
    // Written aside in full and linked into place: a reader never sees half a record, and the
    // link fails when the record exists, so the first writer's code stays.
    std::string temporary = path + ".XXXXXX";
    int error = 0;
    {
        UniqueFd out(mkostemp(temporary.data(), O_CLOEXEC));
        if (!out)
            return Unrecorded(pid, code, WriteErrorFromErrno(errno));
        if (!WriteAll(out.get(), std::to_string(code) + "\n"))
            error = errno ? errno : EIO;
    }
    if (error == 0 && link(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    unlink(temporary.c_str());
    if (error == EEXIST)
        return ERROR_ALREADY_EXISTS;
    if (error == 0)
        return ERROR_SUCCESS;
    return Unrecorded(pid, code, WriteErrorFromErrno(error));
}

bool Read(pid_t pid, unsigned long long startTime, DWORD& code) {
    UniqueFile in(std::fopen(layout::ExitRecord(pid, startTime).c_str(), "re"));
    unsigned value = 0;
    if (!in || std::fscanf(in.get(), "%u", &value) != 1)
        return false;
    code = value;
    return true;
}

} // namespace hostwin::exit_records
