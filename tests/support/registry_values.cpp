#include "registry_values.h"

#include <gtest/gtest.h>

namespace testing_support {

void TestKey::Close() {
    if (m_key) {
        EXPECT_EQ(RegCloseKey(m_key), ERROR_SUCCESS);
    }
    m_key = NULL;
}

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

std::vector<BYTE> Utf16Bytes(const std::u16string& text) {
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

} // namespace testing_support
