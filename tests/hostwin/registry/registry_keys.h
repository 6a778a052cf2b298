// Registry test helpers of the registry function and key view tests: keys opened into owners,
// text values, enumeration, and a standard user.
#pragma once

#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace registry_keys {

using hostwin::UniqueKey;
using testing_support::ReadStoredValue;

using Names = std::vector<std::u16string>;

inline Names Sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Runs the rest of a test as a standard, not elevated, user.
struct StandardUser {
    StandardUser() { setenv("HOSTWIN_ELEVATED", "0", 1); }
    ~StandardUser() { unsetenv("HOSTWIN_ELEVATED"); }
};

inline LONG Create(HKEY parent, const std::u16string& path, UniqueKey& key,
                   REGSAM access = KEY_READ | KEY_WRITE, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(parent, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                           key.put(), disposition);
}

inline LONG Open(HKEY parent, const std::u16string& path, REGSAM access, UniqueKey& key) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, key.put());
}

inline const auto Sz = testing_support::SzBytes;

inline LONG SetText(HKEY key, const char16_t* name, const std::u16string& text) {
    const std::vector<BYTE> data = Sz(text);
    return RegSetValueExW(key, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

// Creates the key with a value "v" = "x" in it.
inline void MakeKey(HKEY root, const std::u16string& path) {
    UniqueKey key;
    ASSERT_EQ(Create(root, path, key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.get(), u"v", u"x"), ERROR_SUCCESS);
}

// A value's bytes, or nothing when it is missing.
inline std::optional<std::vector<BYTE>> Data(HKEY key, const char16_t* name) {
    std::optional<testing_support::StoredValue> value = ReadStoredValue(key, name);
    return value ? std::optional(value->data) : std::nullopt;
}

// The sub-key names, or the value names, in enumeration order.
inline Names Enumerate(HKEY key, bool values = false) {
    Names names;
    WCHAR name[256];
    for (DWORD index = 0, count = 256;; ++index, count = 256) {
        LONG rc = values ? RegEnumValueW(key, index, name, &count, NULL, NULL, NULL, NULL)
                         : RegEnumKeyExW(key, index, name, &count, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, count);
    }
}

} // namespace registry_keys
