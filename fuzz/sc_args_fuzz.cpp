// libFuzzer target: sc's argument reader on arbitrary words, checked against plain readings:
// - the words decode exactly when each is valid UTF-8, and the first invalid one is named;
// - a number is taken exactly when it is all digits and at most 4294967295, and then has the
//   value of its digits (never a wrapped one);
// - a listing request keeps a state and a type the enumeration takes, or is refused.
//
// Input: the arguments, separated by NUL bytes.
#include "sc_args.h"

#include <hostwin/text.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sc_args_fuzz: %s\n", what);
    std::abort();
}

// The number by its digits, or nothing: compares the text with the largest DWORD's digits.
bool PlainNumber(const std::u16string& text, DWORD& value) {
    if (text.empty())
        return false;
    for (char16_t c : text)
        if (c < u'0' || c > u'9')
            return false;
    // Leading zeros make a longer text of a small number.
    size_t first = text.find_first_not_of(u'0');
    std::u16string digits = first == std::u16string::npos ? u"0" : text.substr(first);
    if (digits.size() > 10 || (digits.size() == 10 && digits > u"4294967295"))
        return false;
    value = 0;
    for (char16_t c : digits)
        value = value * 10 + static_cast<DWORD>(c - u'0');
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1, "sc.exe");
    words.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    const sc::DecodedArguments decoded =
        sc::DecodeArguments(static_cast<int>(argv.size()), argv.data());

    int firstInvalid = 0;
    for (size_t i = 1; i < words.size() && !firstInvalid; ++i)
        if (!hostwin::Utf8ToUtf16(words[i]))
            firstInvalid = static_cast<int>(i);
    if (decoded.invalid != firstInvalid)
        Fail("the first invalid argument is misnamed");
    if (firstInvalid) {
        if (!decoded.words.empty())
            Fail("words kept beside an invalid one");
        return 0;
    }
    if (decoded.words.size() != words.size() - 1)
        Fail("a word lost");

    for (const std::u16string& word : decoded.words) {
        DWORD plain = 0;
        const bool expected = PlainNumber(word, plain);
        const std::optional<DWORD> read = sc::ReadNumber(word);
        if (read.has_value() != expected || (read && *read != plain))
            Fail("a number read otherwise than its digits say");
    }

    sc::QueryRequest query;
    if (sc::ReadQuery(decoded.words, query) && !query.name) {
        if (query.state == 0 || (query.state & ~static_cast<DWORD>(SERVICE_STATE_ALL)) != 0)
            Fail("a listing state the enumeration does not take");
        if ((query.type & ~static_cast<DWORD>(SERVICE_TYPE_ALL)) != 0 || query.type == 0)
            Fail("a listing type outside the enumeration's");
    }
    sc::ConfigRequest config;
    if (sc::ReadConfig(decoded.words, 0, config) && config.dependencies) {
        const std::u16string& list = *config.dependencies;
        if (list.size() < 2 || list[list.size() - 1] != 0 || list[list.size() - 2] != 0)
            Fail("a dependency list without its ending");
    }
    return 0;
}
