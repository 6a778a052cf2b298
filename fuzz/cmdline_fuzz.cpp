// libFuzzer target: the command line's switch search and word comparison, through the service
// module's own ParseServiceSwitches with the module's registration steps replaced by
// recorders, checked against a plain index-based reading of the switch rules:
// - every switch start FindSwitchStart finds, and only those, in order;
// - CompareSwitchWord's sign at each switch start, for every switch word;
// - the steps the switches run: which, in which order, with which arguments, with per-user
//   registration on or off, stopping at the first failed step, and the result they leave.
//
// Input: byte 0 picks which recorded steps fail (bit 0: an action's first step, bit 1: its
// second); the rest is the command line in UTF-16LE (an odd last byte is dropped), ending at
// its first zero unit. The line is copied to a buffer of exactly its length and terminator,
// so a read past its end is an AddressSanitizer report.
#include "servermodule.h"

#include "moduleobjects.h"

#include <hostwin/text.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// The program serves no classes.
ClassTableEntry* s_classTable[] = {NULL};

enum class Step {
    UnregisterComServer,
    UnregisterAppIdEntry,
    ConfigureServiceEntry,
    RegisterComServer
};

struct RecordedStep {
    Step step;
    bool argument; // the step's flag: type library, or service
    bool perUser;  // per-user registration when the step ran
    bool operator==(const RecordedStep& other) const {
        return step == other.step && argument == other.argument && perUser == other.perUser;
    }
};

const HRESULT kFirstStepFailure = E_ACCESSDENIED;
const HRESULT kSecondStepFailure = E_OUTOFMEMORY;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "cmdline_fuzz: %s\n", what);
    std::abort();
}

// The service's module, with every registration step a switch can call recorded and answered
// with the result the input picks.
class CRecorderModule : public CServiceModuleT<CRecorderModule, 100> {
public:
    // The steps every module class supplies; the switches never reach them here.
    static LPCOLESTR GetAppIdOle() { return OLESTR("{00000000-1111-2222-3333-444444444444}"); }
    static LPCTSTR GetAppIdText() { return TEXT("{00000000-1111-2222-3333-444444444444}"); }
    static HRESULT ApplyAppIdScript(BOOL) { return E_NOTIMPL; }
    HRESULT SetUpSecurity() { return S_OK; }

    HRESULT UnregisterComServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = NULL) {
        return Record(Step::UnregisterComServer, bUnRegTypeLib != FALSE, pCLSID);
    }
    HRESULT UnregisterAppIdEntry() { return Record(Step::UnregisterAppIdEntry, false, NULL); }
    HRESULT ConfigureServiceEntry(bool bService) {
        return Record(Step::ConfigureServiceEntry, bService, NULL);
    }
    HRESULT RegisterComServer(BOOL bRegTypeLib, const CLSID* pCLSID = NULL) {
        return Record(Step::RegisterComServer, bRegTypeLib != FALSE, pCLSID);
    }

    void Begin(uint8_t failures) {
        m_failures = failures;
        m_steps.clear();
    }
    const std::vector<RecordedStep>& Steps() const { return m_steps; }

private:
    HRESULT Record(Step step, bool argument, const CLSID* pCLSID) {
        if (pCLSID != NULL)
            Fail("a switch registered a single class");
        bool perUser = false;
        GetPerUserRegistration(&perUser);
        m_steps.push_back(RecordedStep{step, argument, perUser});
        if (m_steps.size() == 1)
            return (m_failures & 1) ? kFirstStepFailure : S_OK;
        if (m_steps.size() == 2)
            return (m_failures & 2) ? kSecondStepFailure : S_OK;
        Fail("a switch ran more than two steps");
    }

    uint8_t m_failures = 0;
    std::vector<RecordedStep> m_steps;
};

// --- the reference ------------------------------------------------------------------------

// The line as characters: each is the unit it starts with, combining marks that follow a
// unit belonging to it (the platform's character steps). `offsets` gets where each starts,
// and the line's length last.
std::vector<char16_t> Characters(LPCWSTR line, std::vector<size_t>* offsets) {
    std::vector<char16_t> characters;
    LPCWSTR p = line;
    for (; *p != 0; p = CharNextW(p)) {
        characters.push_back(*p);
        offsets->push_back(static_cast<size_t>(p - line));
    }
    offsets->push_back(static_cast<size_t>(p - line));
    return characters;
}

bool IsSwitchCharacter(char16_t c) {
    return c == u'-' || c == u'/';
}
bool EndsWord(char16_t c) {
    return c == 0 || c == u' ' || c == u'\t';
}

// -1, 0 or 1: the candidate (the characters from `start`) against `word`, letters compared
// in upper case as unsigned values, the end of the line, a blank and a tab ending a word.
int ReferenceCompare(const std::vector<char16_t>& characters, size_t start,
                     const std::u16string& word) {
    for (size_t k = 0;; ++k) {
        const char16_t candidate =
            start + k < characters.size() ? hostwin::FoldChar(characters[start + k]) : u'\0';
        const char16_t wanted = k < word.size() ? hostwin::FoldChar(word[k]) : u'\0';
        if (EndsWord(candidate) && wanted == 0)
            return 0;
        if (EndsWord(candidate) || candidate != wanted)
            return candidate < wanted ? -1 : 1;
    }
}

// The first word, in table order, at the first switch start that holds one; -1 for none.
int ReferenceFirstSwitch(const std::vector<char16_t>& characters,
                         const std::vector<std::u16string>& words) {
    for (size_t i = 0; i < characters.size(); ++i) {
        if (!IsSwitchCharacter(characters[i]))
            continue;
        for (size_t w = 0; w < words.size(); ++w) {
            if (ReferenceCompare(characters, i + 1, words[w]) == 0)
                return static_cast<int>(w);
        }
    }
    return -1;
}

const std::vector<std::u16string> kServerWords = {u"UnregServer", u"RegServer",
                                                  u"UnregServerPerUser", u"RegServerPerUser"};
const std::u16string kServiceWord = u"Service";

// What ParseServiceSwitches must run for the line, and what it must return and leave.
struct Course {
    std::vector<RecordedStep> steps;
    bool start = true;
    HRESULT result = S_OK;
};

Course ExpectedCourse(const std::vector<char16_t>& characters, uint8_t failures) {
    Course course;
    std::vector<RecordedStep> plan;
    switch (ReferenceFirstSwitch(characters, kServerWords)) {
    case 0:
        plan = {{Step::UnregisterComServer, true, false},
                {Step::UnregisterAppIdEntry, false, false}};
        break;
    case 1:
        plan = {{Step::ConfigureServiceEntry, false, false},
                {Step::RegisterComServer, true, false}};
        break;
    case 2:
        plan = {{Step::UnregisterComServer, true, true}, {Step::UnregisterAppIdEntry, false, true}};
        break;
    case 3:
        plan = {{Step::ConfigureServiceEntry, false, true}, {Step::RegisterComServer, true, true}};
        break;
    default:
        if (ReferenceFirstSwitch(characters, {kServiceWord}) == 0)
            plan = {{Step::ConfigureServiceEntry, true, false},
                    {Step::RegisterComServer, true, false}};
        break;
    }
    if (plan.empty())
        return course;
    course.start = false;
    course.steps.push_back(plan[0]);
    if (failures & 1) {
        course.result = kFirstStepFailure;
        return course;
    }
    course.steps.push_back(plan[1]);
    course.result = (failures & 2) ? kSecondStepFailure : S_OK;
    return course;
}

// --- the checks -----------------------------------------------------------------------------

void CheckSwitchSearch(LPCWSTR line, const std::vector<char16_t>& characters,
                       const std::vector<size_t>& offsets) {
    // The switch starts as the product finds them, as offsets into the line.
    std::vector<size_t> found;
    for (LPCWSTR p = FindSwitchStart(line, szTokens); p != NULL; p = FindSwitchStart(p, szTokens))
        found.push_back(static_cast<size_t>(p - line));
    // And by the reference: just after each switch character, as character indexes.
    std::vector<size_t> starts;
    for (size_t i = 0; i < characters.size(); ++i) {
        if (IsSwitchCharacter(characters[i]))
            starts.push_back(i + 1);
    }
    if (found.size() != starts.size())
        Fail("FindSwitchStart found another number of switch starts than the reference");
    for (size_t s = 0; s < starts.size(); ++s) {
        if (found[s] != offsets[starts[s]])
            Fail("FindSwitchStart found a switch start the reference does not");
        for (const std::u16string& word :
             {kServerWords[0], kServerWords[1], kServerWords[2], kServerWords[3], kServiceWord}) {
            if (CompareSwitchWord(line + found[s], word.c_str()) !=
                ReferenceCompare(characters, starts[s], word))
                Fail("CompareSwitchWord differs from the reference");
        }
    }
}

} // namespace

// The framework's process-wide objects, with the recorder where the service's module stands.
FRAMEWORK_EARLY_OBJECTS(s_classTable, s_classTable + 1);
CRecorderModule g_recorderModule;
FRAMEWORK_LATE_TRACE_CATEGORIES();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t failures = data[0];
    std::u16string text;
    for (size_t i = 1; i + 1 < size; i += 2)
        text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    text = text.substr(0, text.find(u'\0'));
    std::unique_ptr<WCHAR[]> line(new WCHAR[text.size() + 1]);
    std::copy(text.begin(), text.end(), line.get());
    line[text.size()] = 0;

    std::vector<size_t> offsets;
    const std::vector<char16_t> characters = Characters(line.get(), &offsets);
    CheckSwitchSearch(line.get(), characters, offsets);

    SetPerUserRegistration(false);
    g_recorderModule.Begin(failures);
    HRESULT result = E_UNEXPECTED;
    const bool start = g_recorderModule.ParseServiceSwitches(line.get(), &result);
    const Course expected = ExpectedCourse(characters, failures);
    if (g_recorderModule.Steps() != expected.steps)
        Fail("the switches ran other steps than the reference");
    if (start != expected.start)
        Fail("the switches decided otherwise than the reference on starting the server");
    if (result != expected.result)
        Fail("the switches left another result than their steps'");
    SetPerUserRegistration(false);
    return 0;
}
