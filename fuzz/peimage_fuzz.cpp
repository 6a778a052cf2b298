// libFuzzer target: arbitrary bytes read as a module image (PE, or ELF with its resource
// section) and as a compiled resource file, as LoadLibraryExW and the resource functions do.
//
// A table that was read must hold only data inside the input, and every entry must be found
// again by its own type, name and language. Type libraries among the resources are read too,
// as LoadTypeLib does with a module, and message tables as FormatMessageW reads them: the
// first and last id of each block, with the texts' inserts and escapes applied. Any crash or
// sanitizer report is a finding.
#include "image/messagetable.h"
#include "image/peimage.h"
#include "image/typelibimage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "peimage_fuzz: %s\n", what);
    std::abort();
}

void ReadMessages(const BYTE* data, size_t size) {
    static const char16_t kInsert[] = u"insert";
    static DWORD_PTR s_arguments[99];
    for (DWORD_PTR& argument : s_arguments)
        argument = reinterpret_cast<DWORD_PTR>(kInsert);
    std::vector<DWORD> ids = {0, 1};
    for (size_t block = 4; block + 8 <= size && ids.size() < 64; block += 12)
        for (size_t field : {block, block + 4}) {
            DWORD id;
            std::memcpy(&id, data + field, sizeof id);
            ids.push_back(id);
        }
    for (DWORD id : ids) {
        std::u16string text, out;
        if (hostwin::FindMessageText(data, size, id, &text) != ERROR_SUCCESS)
            continue;
        (void)hostwin::ApplyMessageInserts(text, true, nullptr, &out);
        (void)hostwin::ApplyMessageInserts(text, false, s_arguments, &out);
    }
}

void CheckTable(const hostwin::ResourceTable& table, const uint8_t* data, size_t size) {
    const hostwin::ResourceId typeLibrary = hostwin::ResourceId::Name(u"TYPELIB");
    const hostwin::ResourceId messageTable = hostwin::ResourceId::Number(11);
    for (const hostwin::ResourceEntry& entry : table.Entries()) {
        // Data lies inside the input, compared as addresses so that nothing is read first.
        const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
        const uintptr_t at = reinterpret_cast<uintptr_t>(entry.data);
        if (at < begin || at - begin > size || entry.size > size - (at - begin))
            Fail("a resource's data lies outside the image");
        if (!table.Contains(&entry))
            Fail("an entry is not recognised as one of its table's");
        DWORD error = ERROR_SUCCESS;
        const hostwin::ResourceEntry* found =
            table.Find(entry.type, entry.name, entry.language, &error);
        if (found == nullptr || !(found->type == entry.type) || !(found->name == entry.name) ||
            found->language != entry.language)
            Fail("an entry is not found by its own type, name and language");
        if (table.Find(entry.type, entry.name, 0, &error) == nullptr)
            Fail("an entry is not found in the default language");
        (void)entry.type.Describe();
        (void)entry.name.Describe();
        if (entry.type == typeLibrary) {
            hostwin::TypeLibraryImage library;
            (void)hostwin::ReadTypeLibraryImage(entry.data, entry.size, &library);
        }
        if (entry.type == messageTable)
            ReadMessages(entry.data, entry.size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hostwin::ResourceTable table;
    DWORD error = table.ReadImage(data, size);
    if (error != ERROR_SUCCESS && (error != ERROR_BAD_FORMAT || !table.Empty()))
        Fail("a refused image left entries or another error");
    CheckTable(table, data, size);
    error = table.ReadResFile(data, size);
    if (error != ERROR_SUCCESS && (error != ERROR_BAD_FORMAT || !table.Empty()))
        Fail("a refused resource file left entries or another error");
    CheckTable(table, data, size);
    return 0;
}
