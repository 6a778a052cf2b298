#include "registry_values.h"

#include <gtest/gtest.h>

namespace testing_support {

std::optional<StoredValue> ReadStoredValue(HKEY key, const WCHAR* name) {
    StoredValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, &value.type, NULL, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    if (RegQueryValueExW(key, name, NULL, &value.type, value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

bool KeyExists(HKEY root, const char16_t* path) {
    hostwin::UniqueKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

} // namespace testing_support
