// The Windows executable-search rules of CreateProcessW.
#include "process/image_search.h"

namespace hostwin {

namespace {

CandidateGroup CommandCandidates(std::u16string name, const SearchFolders& folders) {
    const size_t nameStart = name.find_last_of(u"\\/:");
    const std::u16string fileName =
        nameStart == std::u16string::npos ? name : name.substr(nameStart + 1);
    if (fileName.find(u'.') == std::u16string::npos)
        name += u".exe";
    if (nameStart != std::u16string::npos)
        return CandidateGroup{{name}, false};
    return CandidateGroup{{folders.program + name, folders.current + name,
                           u"C:\\Windows\\System32\\" + name, u"C:\\Windows\\" + name},
                          true};
}

} // namespace

std::vector<CandidateGroup> ModuleCandidates(const char16_t* applicationName,
                                             const std::u16string& commandLine,
                                             const SearchFolders& folders) {
    if (applicationName)
        return {CandidateGroup{{applicationName}, false}};
    size_t start = 0;
    while (start < commandLine.size() && IsCommandLineBlank(commandLine[start]))
        ++start;
    if (start < commandLine.size() && commandLine[start] == u'"') {
        size_t end = commandLine.find(u'"', start + 1);
        return {CommandCandidates(commandLine.substr(start + 1, end == std::u16string::npos
                                                                    ? std::u16string::npos
                                                                    : end - start - 1),
                                  folders)};
    }
    std::vector<CandidateGroup> groups;
    for (size_t end = start; end <= commandLine.size(); ++end) {
        if (end < commandLine.size() && !IsCommandLineBlank(commandLine[end]))
            continue;
        if (end == start)
            break;
        if (IsCommandLineBlank(commandLine[end - 1]))
            continue; // a run of blanks is tried once, at its first blank
        groups.push_back(CommandCandidates(commandLine.substr(start, end - start), folders));
    }
    return groups;
}

} // namespace hostwin
