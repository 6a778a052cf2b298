// tasklist: the image name and process id of every process of this machine, in the table
// shape of the Windows command. "/NH" leaves out the column headers.
#include <windows.h>
#include <tlhelp32.h>

#include <hostwin/control.h>

#include <cstdio>
#include <string>

namespace {

const size_t kImageWidth = 25;
const size_t kPidWidth = 8;

// Cut or padded to the column, counted in characters rather than bytes.
std::string Column(std::u16string text, size_t width) {
    text.resize(width, u' ');
    return hostwin::ToUtf8(text);
}

} // namespace

int main(int argc, char** argv) {
    bool header = true;
    for (int i = 1; i < argc; ++i) {
        std::u16string option = hostwin::FromUtf8(argv[i]);
        if ((option[0] == u'/' || option[0] == u'-') && lstrcmpiW(option.c_str() + 1, u"NH") == 0) {
            header = false;
            continue;
        }
        std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", argv[i]);
        std::fprintf(stderr, "Type \"TASKLIST /?\" for usage.\n");
        return ERROR_INVALID_PARAMETER;
    }

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "ERROR: The process list could not be read (error %lu).\n",
                     static_cast<unsigned long>(error));
        return static_cast<int>(error);
    }
    std::printf("\n");
    if (header) {
        std::printf("%s %*s\n", Column(u"Image Name", kImageWidth).c_str(),
                    static_cast<int>(kPidWidth), "PID");
        std::printf("%s %s\n", std::string(kImageWidth, '=').c_str(),
                    std::string(kPidWidth, '=').c_str());
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        std::printf("%s %*lu\n", Column(entry.szExeFile, kImageWidth).c_str(),
                    static_cast<int>(kPidWidth), static_cast<unsigned long>(entry.th32ProcessID));
    CloseHandle(snapshot);
    return 0;
}
