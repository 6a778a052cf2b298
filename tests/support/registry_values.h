// Registry helpers shared by the registry, reg tool and key wrapper tests.
#pragma once

#include <windows.h>
#include <hostwin/owner.h>
#include <hostwin/text.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A value as stored: its type and raw bytes.
struct StoredValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};
// Reads a value the two-call way: size first, then the data. Nothing when it is missing.
std::optional<StoredValue> ReadStoredValue(HKEY key, const WCHAR* name);

// The REG_SZ default value of `path` below `root`; nothing when the key or text is missing.
std::optional<std::u16string> ReadDefaultText(HKEY root, const std::u16string& path);

// The bytes of a REG_SZ: the text and its final NUL.
inline std::vector<BYTE> SzBytes(const std::u16string& text) {
    return hostwin::EncodeUtf16Le(text + u'\0');
}

// Whether the key can be opened for reading.
bool KeyExists(HKEY root, const std::u16string& path);

} // namespace testing_support
