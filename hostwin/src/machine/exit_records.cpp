// The exit-record store: one small file per ended process below processes/exit/.
#include "machine/exit_records.h"
#include "base/core.h"
#include "machine/machine_layout.h"

#include <hostwin/owner.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace hostwin::exit_records {

DWORD Write(pid_t pid, unsigned long long startTime, DWORD code) {
    const std::string path = layout::ExitRecord(pid, startTime);
    std::error_code folderError;
    std::filesystem::create_directories(layout::ExitRecordsFolder(), folderError);
    if (folderError)
        return WriteErrorFromErrno(folderError.value());
    // Written aside and renamed, so that a reader never sees half a record.
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    UniqueFile out(std::fopen(temporary.c_str(), "we"));
    if (!out)
        return WriteErrorFromErrno(errno);
    bool written = std::fprintf(out.get(), "%u\n", code) > 0;
    int error = errno;
    written = CloseWrittenFile(out) && written;
    if (written && std::rename(temporary.c_str(), path.c_str()) == 0)
        return 0;
    error = errno ? errno : error;
    std::remove(temporary.c_str());
    return WriteErrorFromErrno(error);
}

bool Read(pid_t pid, unsigned long long startTime, DWORD& code) {
    UniqueFile in(std::fopen(layout::ExitRecord(pid, startTime).c_str(), "re"));
    unsigned value = 0;
    if (!in || std::fscanf(in.get(), "%u", &value) != 1)
        return false;
    code = value;
    return true;
}

void Remove(pid_t pid, unsigned long long startTime) {
    std::remove(layout::ExitRecord(pid, startTime).c_str());
}

} // namespace hostwin::exit_records
