// Registry scripts applied to a fresh host registry in register and unregister mode: keys and
// every value kind, ForceRemove, Delete and NoRemove, recovery mode with its trace lines, the
// clean-up pass after a failed root block, access errors and the nesting bound.
#include "machine.h"
#include "registry_values.h"

#include "registrar.h"

#include <crtdbg.h>

#include <cstdlib>
#include <string>
#include <vector>

using hostwin::UniqueKey;
using testing_support::DebugReportTexts;
using testing_support::MachineTest;
using testing_support::ReadStoredValue;

namespace {

bool KeyExists(const std::u16string& path) {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void MakeKey(const std::u16string& path) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_WRITE, NULL,
                              key.put(), NULL),
              ERROR_SUCCESS)
        << hostwin::ToUtf8(path);
}

void SetString(const std::u16string& path, const char16_t* name, const std::u16string& data) {
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_WRITE, key.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * 2)),
              ERROR_SUCCESS);
}

std::optional<testing_support::StoredValue> Value(const std::u16string& path,
                                                  const char16_t* name) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    return ReadStoredValue(key.get(), name);
}

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> bytes;
    for (int v : values)
        bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}

class ScriptApplyTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(m_registrar.Initialize(), S_OK);
    }

    HRESULT Apply(const std::u16string& script, BOOL bRegister) {
        hostwin::ClearDebugReports();
        ScriptParser parser(&m_registrar);
        return parser.ApplyScript(script.c_str(), bRegister);
    }
    HRESULT Register(const std::u16string& script) { return Apply(script, TRUE); }
    HRESULT Unregister(const std::u16string& script) { return Apply(script, FALSE); }

    // Level-0 trace lines after the echo of the expanded script, without the category prefix.
    static std::vector<std::string> TraceLines() {
        std::vector<std::string> lines = DebugReportTexts(_CRT_WARN);
        std::vector<std::string> out;
        const std::string prefix = "traceRegistrar - ";
        for (size_t i = 1; i < lines.size(); ++i)
            out.push_back(lines[i].compare(0, prefix.size(), prefix) == 0
                              ? lines[i].substr(prefix.size())
                              : lines[i]);
        return out;
    }

    CRegObject m_registrar;
};

TEST_F(ScriptApplyTest, RegistersKeysWithEveryValueKind) {
    ASSERT_EQ(Register(u"HKCU { Software { Test = s 'default text' {\r\n"
                       u"  Val str = s 'a b'\r\n"
                       u"  Val multi = m 'a\\0b\\0'\r\n"
                       u"  Val emptymulti = m ''\r\n"
                       u"  Val num = d 4294967295\r\n"
                       u"  Val small = D ' 12 '\r\n"
                       u"  Val bin = b 0aFf\r\n"
                       u"  Val badbin = B 0g\r\n"
                       u"  Val emptybin = b ''\r\n"
                       u"  'NoRemove X' { }\r\n"
                       u"} } }"),
              S_OK);
    const std::u16string key = u"Software\\Test";
    struct {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } expected[] = {
        {nullptr, REG_SZ, hostwin::EncodeUtf16Le(std::u16string(u"default text") + u'\0')},
        {u"str", REG_SZ, hostwin::EncodeUtf16Le(std::u16string(u"a b") + u'\0')},
        // The data's own last "\0" ends the list: the stored list stops at that empty item.
        {u"multi", REG_MULTI_SZ, hostwin::EncodeUtf16Le(std::u16string(u"a\0b\0\0", 5))},
        {u"emptymulti", REG_MULTI_SZ, hostwin::EncodeUtf16Le(std::u16string(u"\0", 1))},
        {u"num", REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
        {u"small", REG_DWORD, Bytes({12, 0, 0, 0})},
        {u"bin", REG_BINARY, Bytes({0x0A, 0xFF})},
        {u"badbin", REG_BINARY, Bytes({0x00})},
        {u"emptybin", REG_BINARY, {}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name ? hostwin::ToUtf8(e.name) : "default");
        auto value = Value(key, e.name);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, e.type);
        EXPECT_EQ(value->data, e.data);
    }
    EXPECT_TRUE(KeyExists(key + u"\\NoRemove X")) << "a quoted name with a blank is one key";
    EXPECT_EQ(TraceLines(), std::vector<std::string>{"Bogus value g passed as binary Hex value\n"});
}

struct FailureCase {
    const char* name;
    std::u16string script;
    HRESULT hr;
    std::vector<std::string> traces; // level 0, after the script echo, in order
};

TEST_F(ScriptApplyTest, SyntaxAndDataErrorsFailWithTheirResultAndTrace) {
    MakeKey(u"Software\\Other"); // so that no clean-up pass deletes Software
    const std::string cleanUp = "Failed to register, cleaning up!\n";
    const FailureCase cases[] = {
        {"unknown root", u"HKXX { }", DISP_E_EXCEPTION, {"HKeyFromString failed on HKXX\n"}},
        {"root without brace",
         u"HKCU x",
         DISP_E_EXCEPTION,
         {"Syntax error, expecting a {, found a x\n"}},
        {"blanks only", u" \r\n ", DISP_E_EXCEPTION, {}},
        {"end inside a block", u"HKCU { Software", DISP_E_EXCEPTION, {cleanUp}},
        {"key with backslash", u"HKCU { 'Software\\X' }", DISP_E_EXCEPTION, {cleanUp}},
        {"value without equals", u"HKCU { Software { Val v s 'x' } }", DISP_E_EXCEPTION, {cleanUp}},
        {"unknown type",
         u"HKCU { Software { Val v = x 'x' } }",
         DISP_E_EXCEPTION,
         {"x Type not supported\n", cleanUp}},
        {"type of two letters",
         u"HKCU { Software { Val v = ss 'x' } }",
         DISP_E_EXCEPTION,
         {"ss Type not supported\n", cleanUp}},
        {"odd binary",
         u"HKCU { Software { Val v = b abc } }",
         E_FAIL,
         {"Binary Data does not fall on BYTE boundries\n", cleanUp}},
        {"number not a number",
         u"HKCU { Software { Val v = d abc } }",
         DISP_E_TYPEMISMATCH,
         {cleanUp}},
        {"number too large",
         u"HKCU { Software { Val v = d 4294967296 } }",
         DISP_E_OVERFLOW,
         {cleanUp}},
        {"ForceRemove name with backslash",
         u"HKCU { ForceRemove 'a\\b' }",
         DISP_E_EXCEPTION,
         {cleanUp}},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Register(c.script), c.hr);
        EXPECT_EQ(TraceLines(), c.traces);
    }
    EXPECT_FALSE(Value(u"Software", u"v").has_value()) << "no failed value was written";
    EXPECT_EQ(Register(u""), S_OK) << "an empty script is no error";
}

TEST_F(ScriptApplyTest, ForceRemoveDeleteAndNoRemoveInBothModes) {
    auto prepare = [] {
        MakeKey(u"Software\\T\\X\\Old");
        SetString(u"Software\\T\\X", u"old", u"1");
        MakeKey(u"Software\\T\\CLSID\\Keep");
    };
    // Register: ForceRemove clears the subtree and builds it again from the script.
    prepare();
    ASSERT_EQ(Register(u"HKCU { Software { T { ForceRemove X { New } ForceRemove CLSID } } }"),
              S_OK);
    EXPECT_FALSE(KeyExists(u"Software\\T\\X\\Old"));
    EXPECT_FALSE(Value(u"Software\\T\\X", u"old").has_value());
    EXPECT_TRUE(KeyExists(u"Software\\T\\X\\New"));
    EXPECT_TRUE(KeyExists(u"Software\\T\\CLSID\\Keep")) << "a protected name is never deleted";

    // Register: Delete removes the subtree and creates nothing, not even the block after it.
    ASSERT_EQ(Register(u"HKCU { Software { T { Delete X { Y } Delete Missing } } }"), S_OK);
    EXPECT_FALSE(KeyExists(u"Software\\T\\X"));
    EXPECT_FALSE(KeyExists(u"Software\\T\\Y"));

    // Unregister: the keywords only mark the entry; X goes only when it has no sub-keys.
    prepare();
    ASSERT_EQ(
        Unregister(u"HKCU { NoRemove Software { NoRemove T { Delete X ForceRemove CLSID } } }"),
        S_OK);
    EXPECT_TRUE(KeyExists(u"Software\\T\\X\\Old"));
    EXPECT_TRUE(KeyExists(u"Software\\T\\CLSID\\Keep"));
    ASSERT_EQ(Unregister(u"HKCU { NoRemove Software { NoRemove T { Delete X { Old } } } }"), S_OK);
    EXPECT_FALSE(KeyExists(u"Software\\T\\X")) << "its value does not keep it";

    // Unregister: NoRemove keeps the key but not the values its block names.
    MakeKey(u"Software\\T\\N");
    SetString(u"Software\\T\\N", u"v", u"1");
    SetString(u"Software\\T\\N", u"w", u"2");
    ASSERT_EQ(
        Unregister(
            u"HKCU { NoRemove Software { T { NoRemove N { Val v = s x Val gone = s y } } } }"),
        S_OK);
    EXPECT_TRUE(KeyExists(u"Software\\T\\N"));
    EXPECT_FALSE(Value(u"Software\\T\\N", u"v").has_value());
    EXPECT_TRUE(Value(u"Software\\T\\N", u"w").has_value());
    EXPECT_TRUE(KeyExists(u"Software\\T")) << "N is still below it";
}

TEST_F(ScriptApplyTest, UnregisterKeepsKeysWithSubKeysTheScriptDoesNotName) {
    MakeKey(u"Software\\X\\Y\\Unnamed");
    MakeKey(u"Software\\X\\Z");
    ASSERT_EQ(Unregister(u"HKCU { NoRemove Software { X { Y Z = s 'ignored' } } }"), S_OK);
    EXPECT_TRUE(KeyExists(u"Software\\X\\Y\\Unnamed"));
    EXPECT_FALSE(KeyExists(u"Software\\X\\Z")) << "the first entry is no reason to keep the next";
    EXPECT_TRUE(KeyExists(u"Software\\X"));
}

TEST_F(ScriptApplyTest, RecoveryModeReadsAMissingKeysBlockWithoutTouchingAnything) {
    MakeKey(u"Software\\Present");
    SetString(u"Software\\Present", u"v", u"1");
    ASSERT_EQ(Unregister(u"HKCU { NoRemove Software {\r\n"
                         u"  Missing { Val v = s x Present { Val v = s x } Sub { Deeper } }\r\n"
                         u"  Val absent = s x\r\n"
                         u"} }"),
              S_OK);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{
                                "Ignoring Open key on Missing : In Recovery mode\n",
                                "Ignoring Open key on Present : In Recovery mode\n",
                                "Ignoring Open key on Sub : In Recovery mode\n",
                                "Ignoring Open key on Deeper : In Recovery mode\n",
                                "Ending Recovery Mode\n",
                            }));
    EXPECT_TRUE(Value(u"Software\\Present", u"v").has_value())
        << "a name inside the missing key's block is not the key of the same name here";

    // An open failure other than not-found reads the block in recovery, then fails.
    MakeKey(u"Software\\Broken\\Inner");
    hostwin::InjectFault("RegOpenKeyExW", 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Unregister(u"HKCU { NoRemove Software { Broken { Inner } } }"),
              HResultFromWin32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{
                                "Ignoring Open key on Broken : In Recovery mode\n",
                                "Ignoring Open key on Inner : In Recovery mode\n",
                                "Ending Recovery Mode\n",
                            }));
    EXPECT_TRUE(KeyExists(u"Software\\Broken\\Inner"));
}

TEST_F(ScriptApplyTest, UnreadableSubKeyCountCountsAsNoneAndTheDeleteThenFails) {
    MakeKey(u"Software\\X\\Unnamed");
    hostwin::InjectFault("RegQueryInfoKeyW", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Unregister(u"HKCU { NoRemove Software { X } }"), E_ACCESSDENIED);
    EXPECT_EQ(TraceLines(),
              (std::vector<std::string>{"Should not be here!!\n", "Deleting Key X\n"}));
    EXPECT_TRUE(KeyExists(u"Software\\X\\Unnamed")) << "the registry refuses to delete it";
}

TEST_F(ScriptApplyTest, AFailedSecondRootBlockIsCleanedUpAndTheFirstStays) {
    MakeKey(u"Software\\Existing");
    SetString(u"Software\\Existing", u"old", u"1");
    MakeKey(u"Software\\Kept");
    HRESULT hr = Register(u"HKCU { Software { First } }\r\n"
                          u"HKCU { Software { Existing { Val old = s 2 }\r\n"
                          u"                  NoRemove Kept { Val k = s 3 }\r\n"
                          u"                  Fresh { Val bad = d nonumber } } }");
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(TraceLines(),
              (std::vector<std::string>{"Failed to register, cleaning up!\n",
                                        "Deleting Key Existing\n", "Deleting Key Fresh\n"}));
    EXPECT_TRUE(KeyExists(u"Software\\First")) << "an earlier root block stays registered";
    EXPECT_FALSE(KeyExists(u"Software\\Existing"))
        << "the clean-up deletes what the failed block names, whoever created it";
    EXPECT_FALSE(KeyExists(u"Software\\Fresh"));
    EXPECT_TRUE(KeyExists(u"Software\\Kept"));
    EXPECT_FALSE(Value(u"Software\\Kept", u"k").has_value());
    EXPECT_TRUE(KeyExists(u"Software")) << "First keeps it";
}

TEST_F(ScriptApplyTest, KeysTheUserMayOnlyReadFailWithTheAccessError) {
    MakeKey(u"Software\\Locked\\Inside");
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Locked"));
    const std::u16string cases[] = {
        u"HKCU { Software { Locked { New } } }",
        u"HKCU { Software { Locked = s 'x' } }",
        u"HKCU { Software { Locked { Val v = s 'x' } } }",
    };
    for (const std::u16string& script : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(script));
        EXPECT_EQ(Register(script), E_ACCESSDENIED);
        EXPECT_FALSE(KeyExists(u"Software\\Locked\\New"));
        EXPECT_FALSE(Value(u"Software\\Locked", u"v").has_value());
    }
    EXPECT_EQ(Register(u"HKCU { Software { Locked { Inside } } }"), S_OK)
        << "a read-only key that is only opened is fine";

    // A standard user may read the machine's keys, classes included, but not write them.
    struct StandardUser {
        StandardUser() { setenv("HOSTWIN_ELEVATED", "0", 1); }
        ~StandardUser() { unsetenv("HOSTWIN_ELEVATED"); }
    } standardUser;
    EXPECT_EQ(Register(u"HKLM { SOFTWARE { Vendor } }"), E_ACCESSDENIED);
    EXPECT_EQ(Register(u"HKCR { NewClass }"), E_ACCESSDENIED);
    EXPECT_EQ(Register(u"HKLM { SOFTWARE { Classes } }"), S_OK);
}

TEST_F(ScriptApplyTest, ScriptsNestedDeeperThanKeysMayBeAreRefused) {
    // `levels` keys named `name`, each holding the next in its block, the deepest holding
    // `inner`.
    auto nested = [](int levels, const std::u16string& inner = u"",
                     const std::u16string& name = u"K") {
        std::u16string script = u"HKCU {";
        for (int i = 0; i < levels; ++i)
            script += u" " + name + u" {";
        script += inner;
        for (int i = 0; i <= levels; ++i)
            script += u" }";
        return script;
    };
    std::u16string deepest;
    for (int i = 0; i < 512; ++i)
        deepest += i ? u"\\K" : u"K";
    // 512 levels of keys below the root are what the registry allows, their values one level
    // further. Too deep an entry is refused before it is touched, and the clean-up pass
    // removes what registration created above it.
    const struct {
        const char* name;
        std::u16string script;
        HRESULT hr;
    } cases[] = {
        {"a value in a deepest key", nested(512, u" Val v = s x"), S_OK},
        {"a key one deeper", nested(513), DISP_E_EXCEPTION},
        {"a key one deeper, to delete", nested(512, u" Delete K"), DISP_E_EXCEPTION},
        {"a key one deeper after a value", nested(512, u" Val v = s x K"), DISP_E_EXCEPTION},
        {"a value in a block after a value", nested(512, u" Val v = s x { Val w = s y }"),
         DISP_E_EXCEPTION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Register(c.script), c.hr);
        if (c.hr == S_OK) {
            EXPECT_TRUE(KeyExists(deepest));
            EXPECT_TRUE(Value(deepest, u"v").has_value());
            EXPECT_EQ(Unregister(c.script), S_OK);
        }
        EXPECT_FALSE(KeyExists(u"K")) << "the registry is as it was";
    }

    ASSERT_EQ(Register(nested(512)), S_OK);
    EXPECT_EQ(Unregister(nested(513)), DISP_E_EXCEPTION);
    EXPECT_TRUE(KeyExists(deepest)) << "unregistration deletes nothing before the refusal";
    // Below a missing key the text is only read, in recovery mode, where errors are let
    // pass: too deep a nesting fails all the same, and no depth of text exhausts the stack.
    EXPECT_EQ(Unregister(nested(100000, u"", u"Missing")), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(u"HKCU { Delete Gone" + nested(100000).substr(6) + u" }"), DISP_E_EXCEPTION);
}

// Below a missing key unregistration reads in recovery mode; too deep a block there ends it
// with the error, and no key of an enclosing block, nor one after the block, is deleted.
TEST_F(ScriptApplyTest, TooDeepABlockInRecoveryStopsUnregistrationBeforeAnyDeletion) {
    std::u16string tooDeep;
    for (int i = 0; i < 520; ++i)
        tooDeep += u" Missing {";
    for (int i = 0; i < 520; ++i)
        tooDeep += u" }";
    const struct {
        const char* name;
        std::u16string script;
    } cases[] = {
        {"in an enclosing key's block", u"HKCU { Outer { Inner {" + tooDeep + u" } } After }"},
        {"before the keys", u"HKCU { Missing {" + tooDeep + u" } Outer { Inner } After }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Register(u"HKCU { Outer { Inner } After }"), S_OK);
        EXPECT_EQ(Unregister(c.script), DISP_E_EXCEPTION);
        EXPECT_TRUE(KeyExists(u"Outer\\Inner"));
        EXPECT_TRUE(KeyExists(u"After"));
        ASSERT_EQ(Unregister(u"HKCU { Outer { Inner } After }"), S_OK);
        EXPECT_FALSE(KeyExists(u"Outer"));
    }
}

TEST_F(ScriptApplyTest, PerUserRegistrationPutsTheClassesRootUnderTheUser) {
    SetPerUserRegistration(true);
    HRESULT hr = Register(u"HKCR\r\n{\r\n  NoRemove TestClass { Val v = s x }\r\n}\r\n");
    SetPerUserRegistration(false);
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(Value(u"Software\\Classes\\TestClass", u"v").has_value());
    UniqueKey machine;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\TestClass", 0, KEY_READ,
                            machine.put()),
              ERROR_FILE_NOT_FOUND);
}

} // namespace
