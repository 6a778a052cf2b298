// Message tables and FormatMessageW: the walk to an entry on synthetic tables, well-formed and
// damaged; the inserts and escapes; the API's sources, buffers and errors; and the real
// tollivarmsg.dll that windmc builds for Windows.
#include "image/messagetable.h"
#include "imagebuilder.h"
#include "machine.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

using namespace image_builder;

namespace {

std::string Unicode(const std::u16string& text) {
    return Utf16(text);
}

// Ids 1..3 (two UTF-16 texts, then an ANSI one), 0x80000001, and 100 in UTF-8.
std::string SampleTable() {
    return BuildMessageTable({
        {1, {{1, Unicode(u"one")}, {1, Unicode(u"two")}, {0, "three ansi"}}},
        {0x80000001, {{1, Unicode(u"warning %1")}}},
        {100, {{2, "caf\xC3\xA9"}}},
    });
}
// Where the sample's pieces lie: the count, three blocks of 12 bytes, then the entries.
constexpr size_t kFirstBlock = 4;
constexpr size_t kFirstEntry = 4 + 3 * 12;

struct Found {
    DWORD error;
    std::u16string text;
};
Found Find(const std::string& table, DWORD id) {
    Found found{0, u"(untouched)"};
    found.error = hostwin::FindMessageText(reinterpret_cast<const BYTE*>(table.data()),
                                           table.size(), id, &found.text);
    return found;
}

TEST(MessageTableTest, EachIdIsFoundInItsBlockByWalkingTheEntriesBeforeIt) {
    const std::string table = SampleTable();
    const std::pair<DWORD, Found> cases[] = {
        {1, {ERROR_SUCCESS, u"one"}},
        {2, {ERROR_SUCCESS, u"two"}},
        {3, {ERROR_SUCCESS, u"three ansi"}},
        {0x80000001, {ERROR_SUCCESS, u"warning %1"}},
        {100, {ERROR_SUCCESS, u"caf\u00E9"}},
        {0, {ERROR_MR_MID_NOT_FOUND, u"(untouched)"}},
        {4, {ERROR_MR_MID_NOT_FOUND, u"(untouched)"}},
        {99, {ERROR_MR_MID_NOT_FOUND, u"(untouched)"}},
        {0x80000000, {ERROR_MR_MID_NOT_FOUND, u"(untouched)"}},
        {0xFFFFFFFF, {ERROR_MR_MID_NOT_FOUND, u"(untouched)"}},
    };
    for (const auto& [id, expected] : cases) {
        SCOPED_TRACE(id);
        Found found = Find(table, id);
        EXPECT_EQ(found.error, expected.error);
        EXPECT_EQ(found.text, expected.text);
    }
    // A text that fills its entry without a NUL ends with the entry.
    std::string full = BuildMessageTable({{7, {{1, Unicode(u"full")}}}});
    full.resize(full.size() - 4); // "full" is 8 bytes, its NUL and padding 4 more
    Put<WORD>(full, 16, 12);
    EXPECT_EQ(Find(full, 7).text, u"full");
}

TEST(MessageTableTest, DamagedTablesAreRefusedOnTheWayToTheEntry) {
    const std::string sample = SampleTable();
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        DWORD id;
        DWORD error;
    } cases[] = {
        {"no table", [](std::string& t) { t.clear(); }, 1, ERROR_BAD_FORMAT},
        {"a cut count", [](std::string& t) { t.resize(3); }, 1, ERROR_BAD_FORMAT},
        {"more blocks than bytes", [](std::string& t) { Put<DWORD>(t, 0, 0x10000000); }, 1,
         ERROR_BAD_FORMAT},
        {"entries past the end", [](std::string& t) { Put<DWORD>(t, kFirstBlock + 8, t.size()); },
         1, ERROR_BAD_FORMAT},
        {"entries at a huge offset",
         [](std::string& t) { Put<DWORD>(t, kFirstBlock + 8, 0xFFFFFFF0); }, 1, ERROR_BAD_FORMAT},
        // A length of 0 would hold a naive walk on the same entry for ever.
        {"an empty entry on the way", [](std::string& t) { Put<WORD>(t, kFirstEntry, 0); }, 2,
         ERROR_BAD_FORMAT},
        {"an entry shorter than its header", [](std::string& t) { Put<WORD>(t, kFirstEntry, 2); },
         1, ERROR_BAD_FORMAT},
        {"an entry past the end", [](std::string& t) { Put<WORD>(t, kFirstEntry, 0xFFFF); }, 1,
         ERROR_BAD_FORMAT},
        {"half a character", [](std::string& t) { Put<WORD>(t, kFirstEntry, 4 + 7); }, 1,
         ERROR_BAD_FORMAT},
        {"unknown flags", [](std::string& t) { Put<WORD>(t, kFirstEntry + 2, 3); }, 1,
         ERROR_BAD_FORMAT},
        {"the last entry cut", [](std::string& t) { t.resize(t.size() - 1); }, 100,
         ERROR_BAD_FORMAT},
        // Only what lies on the way is read: the cut last entry does not hide the first one.
        {"a cut elsewhere", [](std::string& t) { t.resize(t.size() - 1); }, 1, ERROR_SUCCESS},
        {"ANSI that is not UTF-8", [](std::string& t) { t[t.size() - 3] = '\xFF'; }, 100,
         ERROR_NO_UNICODE_TRANSLATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string table = sample;
        c.damage(table);
        EXPECT_EQ(Find(table, c.id).error, c.error);
    }
}

TEST(MessageInsertsTest, InsertsAndEscapesAreRenderedAsFormatMessageRendersThem) {
    const char16_t* strings[] = {u"first", u"second", u"x", u"x", u"x",
                                 u"x",     u"x",      u"x", u"x", u"tenth"};
    std::vector<DWORD_PTR> arguments;
    for (const char16_t* text : strings)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(text));
    std::vector<DWORD_PTR> numbers = {42, 255, static_cast<DWORD>(-5)};
    struct Case {
        const char16_t* text;
        const std::vector<DWORD_PTR>* arguments; // null for none
        bool ignoreInserts;
        DWORD error;
        std::u16string out;
    } cases[] = {
        {u"%1%0", &arguments, false, 0, u"first"},
        {u"%1 and %2%n", &arguments, false, 0, u"first and second\r\n"},
        {u"%1!s!|%1!-7s!|%2!.3s!|%2!ls!", &arguments, false, 0, u"first|first  |sec|second"},
        {u"%1!d! %2!x! %2!04X! %3!d! %1!u!", &numbers, false, 0, u"42 ff 00FF -5 42"},
        // Two digits at most: %100 is the tenth insert and a 0.
        {u"%10 %100", &arguments, false, 0, u"tenth tenth0"},
        {u"100%% sure%. %! %r%t%b", nullptr, false, 0, u"100% sure. ! \r\tb"},
        {u"line\r\nnext\n", nullptr, false, 0, u"line\r\nnext\n"},
        {u"cut%0 here", nullptr, false, 0, u"cut"},
        {u"lone%", nullptr, false, 0, u"lone"},
        {u"%1!s! %2 %n%%", nullptr, true, 0, u"%1!s! %2 \r\n%"},
        {u"no insert", nullptr, false, 0, u"no insert"},
        {u"%1", nullptr, false, ERROR_INVALID_PARAMETER, u""},
        {u"%1!s", &arguments, false, ERROR_INVALID_PARAMETER, u""},
        {u"%1!!", &arguments, false, ERROR_INVALID_PARAMETER, u""},
        {u"%1!f!", &numbers, false, ERROR_INVALID_PARAMETER, u""},
        {u"%1!*s!", &arguments, false, ERROR_INVALID_PARAMETER, u""},
        {u"%1!s!s!", &arguments, false, 0, u"firsts!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.text));
        std::u16string out;
        DWORD error = hostwin::ApplyMessageInserts(
            c.text, c.ignoreInserts, c.arguments ? c.arguments->data() : nullptr, &out);
        EXPECT_EQ(error, c.error);
        if (error == 0) {
            EXPECT_EQ(out, c.out);
        }
    }
}

class FormatMessageTest : public testing_support::MachineTest {
protected:
    HMODULE Load(const std::string& bytes) {
        std::string path = RootPath("drive_c/m" + std::to_string(m_count++) + ".dll");
        testing_support::WriteFile(path, bytes);
        return LoadLibraryExW(hostwin::WindowsPath(path).c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE);
    }
    int m_count = 0;
};

TEST_F(FormatMessageTest, MessagesComeFromTheModuleOrTheSystemWithWindowsErrors) {
    HMODULE messages = Load(BuildPe({{11, 1, 0x0409, SampleTable()}}));
    HMODULE strings = Load(BuildPe({{6, 1, 0x0409, std::string(32, '\0')}}));
    ASSERT_NE(messages, nullptr);
    ASSERT_NE(strings, nullptr);
    const char16_t* inserts[] = {u"first"};
    auto* arguments = reinterpret_cast<va_list*>(inserts);
    const DWORD module = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    const DWORD system = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    struct Case {
        const char* what;
        DWORD flags;
        HMODULE source;
        DWORD id;
        DWORD language;
        DWORD size;
        va_list* arguments;
        DWORD error;
        std::u16string text;
    } cases[] = {
        {"module", module, messages, 0x80000001, 0, 64, arguments, 0, u"warning first"},
        {"exactly big enough", module, messages, 0x80000001, 0, 14, arguments, 0, u"warning first"},
        {"one short", module, messages, 0x80000001, 0, 13, arguments, ERROR_INSUFFICIENT_BUFFER,
         u""},
        {"its language", module, messages, 1, 0x0409, 64, nullptr, 0, u"one"},
        {"another language", module, messages, 1, 0x0407, 64, nullptr,
         ERROR_RESOURCE_LANG_NOT_FOUND, u""},
        {"no such id", module, messages, 5, 0, 64, nullptr, ERROR_MR_MID_NOT_FOUND, u""},
        {"no table", module, strings, 1, 0, 64, nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND, u""},
        // This test program's own resources hold no table either.
        {"this program", module, nullptr, 1, 0, 64, nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND, u""},
        {"not a module", module, reinterpret_cast<HMODULE>(0x1234), 1, 0, 64, nullptr,
         ERROR_INVALID_HANDLE, u""},
        {"insert without arguments", module, messages, 0x80000001, 0, 64, nullptr,
         ERROR_INVALID_PARAMETER, u""},
        {"system", system, nullptr, ERROR_INVALID_PARAMETER, 0, 64, nullptr, 0,
         u"The parameter is incorrect.\r\n"},
        {"system inserts kept", system, nullptr, ERROR_MR_MID_NOT_FOUND, 0, 128, nullptr, 0,
         u"The system cannot find message text for message number 0x%1 in the message file for "
         u"%2.\r\n"},
        {"system after the module", module | system, messages, ERROR_ACCESS_DENIED, 0, 64, nullptr,
         0, u"Access is denied.\r\n"},
        {"module before the system", module | system, messages, 1, 0, 64, nullptr, 0, u"one"},
        {"unknown to the system", system, nullptr, 12345, 0, 64, nullptr, ERROR_MR_MID_NOT_FOUND,
         u""},
        {"system in German", system, nullptr, 5, 0x0407, 64, nullptr, ERROR_RESOURCE_LANG_NOT_FOUND,
         u""},
        {"no source", FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, 64, nullptr,
         ERROR_INVALID_PARAMETER, u""},
        {"a va_list", FORMAT_MESSAGE_FROM_HMODULE, messages, 0x80000001, 0, 64, arguments,
         ERROR_NOT_SUPPORTED, u""},
        {"line width", system | 80, nullptr, 5, 0, 64, nullptr, ERROR_NOT_SUPPORTED, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WCHAR buffer[128];
        SetLastError(0);
        DWORD length =
            FormatMessageW(c.flags, c.source, c.id, c.language, buffer, c.size, c.arguments);
        EXPECT_EQ(length == 0 ? GetLastError() : 0u, c.error);
        if (c.error == 0) {
            EXPECT_EQ(std::u16string(buffer), c.text);
            EXPECT_EQ(length, c.text.size());
        }
    }

    // An allocated buffer, at least nSize long, freed by LocalFree.
    WCHAR* allocated = nullptr;
    DWORD length = FormatMessageW(module | FORMAT_MESSAGE_ALLOCATE_BUFFER, messages, 0x80000001, 0,
                                  reinterpret_cast<LPWSTR>(&allocated), 100, arguments);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::u16string(allocated, length), u"warning first");
    allocated[99] = 0; // writable to its requested size
    EXPECT_EQ(LocalFree(allocated), nullptr);
    EXPECT_EQ(FormatMessageW(module, messages, 1, 0, nullptr, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(FreeLibrary(messages));
    EXPECT_TRUE(FreeLibrary(strings));
}

// The bytes Windows gets: the event messages as tollivar reports them.
TEST_F(FormatMessageTest, TheProductsMessageFileRendersEveryEvent) {
    HMODULE file = LoadLibraryExW(hostwin::WindowsPath(TOLLIVARMSG_DLL).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(file, nullptr) << GetLastError();
    struct Case {
        DWORD id;
        std::vector<const char16_t*> strings;
        DWORD error;
        std::u16string text;
    } cases[] = {
        {0, {u"Service stopped"}, 0, u"Service stopped"},
        {0x80000001,
         {u"C:\\pellard\\bin\\pellard.exe", u"anyone may write it"},
         0,
         u"The agent program C:\\pellard\\bin\\pellard.exe is not trusted: anyone may write it"},
        {0xC0000002,
         {u"pellardservice", u"Could not start service"},
         0,
         u"pellardservice: Could not start service\r\n(Logged here because no desktop was "
         u"visible to show it in a message box.)"},
        {0xC0000003, {u"std::bad_alloc"}, 0, u"tollivar ended abnormally: std::bad_alloc"},
        // The ids carry their severity: the bare numbers are not there.
        {1, {u"x"}, ERROR_MR_MID_NOT_FOUND, u""},
        {4, {u"x"}, ERROR_MR_MID_NOT_FOUND, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        WCHAR* text = nullptr;
        DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                FORMAT_MESSAGE_ALLOCATE_BUFFER,
            file, c.id, 0, reinterpret_cast<LPWSTR>(&text), 0,
            reinterpret_cast<va_list*>(const_cast<const char16_t**>(c.strings.data())));
        EXPECT_EQ(length == 0 ? GetLastError() : 0u, c.error);
        if (length != 0) {
            EXPECT_EQ(std::u16string(text, length), c.text);
        }
        LocalFree(text);
    }
    EXPECT_TRUE(FreeLibrary(file));
}

} // namespace
