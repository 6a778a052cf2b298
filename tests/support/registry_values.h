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

} // namespace testing_support
