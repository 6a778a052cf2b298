// tasklist: the image name and process id of every process of this machine, in the table
// shape of the Windows command. "/NH" leaves out the column headers. Exit code 0 or 1.
#include <windows.h>
#include <tlhelp32.h>

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const size_t kImageWidth = 25;
const size_t kPidWidth = 8;

// Cut or padded to the column, counted in characters rather than bytes.
std::string Column(std::u16string text, size_t width) {
    text.resize(width, u' ');
    return hostwin::ToUtf8(text);
}

void Usage() {
    std::printf("\nTASKLIST [/NH]\n\n"
                "Description:\n"
                "    This tool displays a list of currently running processes on\n"
                "    the local machine.\n\n"
                "Parameter List:\n"
                "   /NH    Specifies that the \"Column Header\" should not be shown\n"
                "          in the output.\n\n"
                "   /?     Displays this help message.\n");
}

int InvalidArgument(const char* argument) {
    std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", argument);
    std::fprintf(stderr, "Type \"TASKLIST /?\" for usage.\n");
    return 1;
}

int Tasklist(int argc, char** argv) {
    if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0)
        return InvalidArgument(argv[bad]);
    bool header = true;
    for (int i = 1; i < argc; ++i) {
        std::u16string option = hostwin::FromUtf8(argv[i]);
        bool isOption = option.size() > 1 && (option[0] == u'/' || option[0] == u'-');
        if (isOption && lstrcmpiW(option.c_str() + 1, u"NH") == 0) {
            header = false;
        } else if (isOption && option.substr(1) == u"?" && argc == 2) {
            Usage();
            return 0;
        } else {
            return InvalidArgument(argv[i]);
        }
    }

    hostwin::UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        std::fprintf(stderr, "ERROR: The process list could not be read (error %lu).\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    // The whole walk first: a list cut short by a failure is not printed as if complete.
    std::vector<PROCESSENTRY32W> entries;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    BOOL more = Process32FirstW(snapshot.get(), &entry);
    for (; more; more = Process32NextW(snapshot.get(), &entry))
        entries.push_back(entry);
    if (DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES) {
        std::fprintf(stderr, "ERROR: The process list could not be read (error %lu).\n",
                     static_cast<unsigned long>(error));
        return 1;
    }
    std::printf("\n");
    if (header) {
        std::printf("%s %*s\n", Column(u"Image Name", kImageWidth).c_str(),
                    static_cast<int>(kPidWidth), "PID");
        std::printf("%s %s\n", std::string(kImageWidth, '=').c_str(),
                    std::string(kPidWidth, '=').c_str());
    }
    for (const PROCESSENTRY32W& listed : entries)
        std::printf("%s %*lu\n", Column(listed.szExeFile, kImageWidth).c_str(),
                    static_cast<int>(kPidWidth), static_cast<unsigned long>(listed.th32ProcessID));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Tasklist);
}
