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

std::optional<std::u16string> ReadDefaultText(HKEY root, const std::u16string& path) {
    hostwin::UniqueKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<StoredValue> value = ReadStoredValue(key.get(), nullptr);
    if (!value || value->type != REG_SZ || value->data.size() < 2)
        return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()),
                          value->data.size() / 2 - 1);
}

bool KeyExists(HKEY root, const std::u16string& path) {
    hostwin::UniqueKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

} // namespace testing_support
