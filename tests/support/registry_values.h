// Registry helpers shared by the registry, reg tool and key wrapper tests.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Owns one key handle, so every path of a test closes what it opened.
class TestKey {
public:
    TestKey() = default;
    ~TestKey() { Close(); }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;
    // Where an open or create stores the new handle; any held handle is closed first.
    PHKEY Out() {
        Close();
        return &m_key;
    }
    HKEY Get() const { return m_key; }
    void Close();

private:
    HKEY m_key = NULL;
};

// A value as stored: its type and raw bytes.
struct StoredValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};
// Reads a value the two-call way: size first, then the data. Nothing when it is missing.
std::optional<StoredValue> ReadStoredValue(HKEY key, const WCHAR* name);

// The REG_SZ default value of `path` below `root`; nothing when the key or text is missing.
std::optional<std::u16string> ReadDefaultText(HKEY root, const std::u16string& path);
bool KeyExists(HKEY root, const std::u16string& path);

// The UTF-16LE bytes of `text`, terminators included only where `text` holds them.
std::vector<BYTE> Utf16Bytes(const std::u16string& text);

} // namespace testing_support
