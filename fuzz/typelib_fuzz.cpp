// libFuzzer target: arbitrary bytes read as a binary type library, as LoadTypeLib does with a
// .tlb file. A failure must leave the caller's image untouched and name one of the reader's
// three codes; a success must hold only texts that came from the input. Any crash or
// sanitizer report is a finding.
#include "image/typelibimage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "typelib_fuzz: %s\n", what);
    std::abort();
}

// Decoded texts are ASCII without a terminator, and no longer than the input.
bool Plausible(const std::u16string& text, size_t size) {
    if (text.size() > size)
        return false;
    for (char16_t c : text)
        if (c == 0 || c >= 0x80)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hostwin::TypeLibraryImage image;
    image.name = u"untouched";
    image.typeCount = 0xA5A5A5A5;
    const HRESULT result = hostwin::ReadTypeLibraryImage(data, size, &image);
    if (FAILED(result)) {
        if (result != TYPE_E_CANTLOADLIBRARY && result != TYPE_E_UNSUPFORMAT &&
            result != TYPE_E_INVDATAREAD)
            Fail("an unexpected failure code");
        if (image.name != u"untouched" || image.typeCount != 0xA5A5A5A5)
            Fail("a failed read changed the caller's image");
        return 0;
    }
    if (result != S_OK)
        Fail("an unexpected success code");
    if (!Plausible(image.name, size) || (image.docString && !Plausible(*image.docString, size)) ||
        (image.helpFile && !Plausible(*image.helpFile, size)))
        Fail("a text that cannot have come from the input");
    return 0;
}
