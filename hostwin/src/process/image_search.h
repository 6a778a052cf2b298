// Which module files CreateProcessW tries for an application name and command line, by the
// Windows rules, as plain data: no file is looked at here.
#pragma once

#include <string>
#include <vector>

namespace hostwin {

// Blanks separate the parts of a Windows command line: space and tab.
inline bool IsCommandLineBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// Folders a bare module name is looked for in, before the system folders.
struct SearchFolders {
    std::u16string program; // the folder of the calling program, ending in a backslash
    std::u16string current; // the current folder, ending in a backslash
};

// The files tried for one reading of the module name, in order. For a bare name (searched)
// a missing folder reads as a missing file.
struct CandidateGroup {
    std::vector<std::u16string> paths;
    bool searched = false;
};

// The application name when given (taken as it is); else the command line's first token:
// quoted, it is one name; unquoted with blanks, it is tried at every blank, shortest first.
// A name read from the command line gets ".exe" when its file name has no extension, and a
// bare one is looked for in the program's folder, the current folder, then C:\Windows\System32
// and C:\Windows.
std::vector<CandidateGroup> ModuleCandidates(const char16_t* applicationName,
                                             const std::u16string& commandLine,
                                             const SearchFolders& folders);

} // namespace hostwin
