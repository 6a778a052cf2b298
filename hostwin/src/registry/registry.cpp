// Advapi32 registry functions over the machine's registry store: thin calls over the key view
// and access policy (registry_view), with Windows' error codes.
#include "registry/registry_view.h"

#include <algorithm>

namespace hostwin::registry {

namespace {

std::string Describe(HKEY key) {
    if (IsPredefined(key))
        return ToUtf8(PredefinedName(key));
    if (auto object = LookupHandleAs<RegistryKeyObject>(key, HandleKind::RegistryKey))
        return ToUtf8(object->View().path);
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(key));
    return text;
}

std::string DescribeSubKey(HKEY key, const WCHAR* subKey) {
    std::string text = Describe(key);
    if (subKey && *subKey)
        text += "\\" + ToUtf8(subKey);
    return text;
}

// Copies a name with its NUL into a buffer of *count units; *count becomes its length.
LONG CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD count) {
    if (name.size() + 1 > *count)
        return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Copies value data the way the query and enumeration functions return it.
LONG CopyData(const ValueRow& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type)
        *type = value.type;
    if (!size)
        return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(value.data.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::copy(value.data.begin(), value.data.end(), data);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

LONG DeleteKeyCommon(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> names;
    LONG splitError = ERROR_SUCCESS;
    if (!SplitPath(lpSubKey, &names, &splitError))
        return ERROR_FILE_NOT_FOUND;
    return RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG rc = Resolve(t, hKey, &ref))
            return rc;
        KeyView view = ref.view;
        if (names.empty()) { // the handle's own key
            if (ref.predefined)
                return ERROR_ACCESS_DENIED;
            if (!(ref.access & DELETE))
                return ERROR_ACCESS_DENIED;
        }
        if (LONG error = WalkPath(t, view, names))
            return error;
        std::optional<Part> part = PrimaryPart(view);
        if (!part)
            return ERROR_FILE_NOT_FOUND;
        if (!PartWritable(t, *part))
            return ERROR_ACCESS_DENIED;
        if (t.HasChildren(part->id))
            return ERROR_ACCESS_DENIED; // Windows deletes leaves only
        std::optional<KeyRow> row = t.Key(part->id);
        if (!row || row->parent == 0)
            return ERROR_ACCESS_DENIED; // a hive root is never deleted
        t.DeleteKey(part->id);
        return ERROR_SUCCESS;
    });
}

} // namespace

} // namespace hostwin::registry

namespace hostwin {

bool MarkKeyReadOnly(HKEY root, const std::u16string& path, bool readOnly) {
    using namespace registry;
    std::vector<std::u16string> names;
    LONG splitError = ERROR_SUCCESS;
    if (!SplitPath(path.c_str(), &names, &splitError))
        return false;
    LONG rc = RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = Resolve(t, root, &ref))
            return error;
        KeyView view = ref.view;
        if (LONG error = WalkPath(t, view, names))
            return error;
        std::optional<Part> part = PrimaryPart(view);
        if (!part)
            return ERROR_FILE_NOT_FOUND;
        t.SetReadOnly(part->id, readOnly);
        return ERROR_SUCCESS;
    });
    return rc == ERROR_SUCCESS;
}

std::string RegistryStorePath() {
    return registry::StorePath();
}

RegistrySnapshot::RegistrySnapshot() : m_status(registry::BeginScope(false)) {}

RegistrySnapshot::~RegistrySnapshot() {
    if (m_status == ERROR_SUCCESS)
        registry::EndScope(false);
}

RegistryBatch::RegistryBatch() : m_status(registry::BeginScope(true)) {}

RegistryBatch::~RegistryBatch() {
    if (m_status == ERROR_SUCCESS && !m_ended)
        registry::EndScope(false);
}

LONG RegistryBatch::Commit() {
    if (m_status != ERROR_SUCCESS || m_ended)
        return m_status != ERROR_SUCCESS ? m_status : ERROR_INVALID_PARAMETER;
    m_ended = true;
    return registry::EndScope(true);
}

} // namespace hostwin

using namespace hostwin;
using namespace hostwin::registry;

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s, 0x%x", DescribeSubKey(hKey, lpSubKey).c_str(), samDesired);
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    if (ulOptions != 0)
        return NotSupportedCode(__func__, "options other than 0",
                                static_cast<LONG>(ERROR_NOT_SUPPORTED));
    REGSAM normalised = 0;
    if (!NormaliseAccess(samDesired, &normalised))
        return NotSupportedCode(__func__, "access right", static_cast<LONG>(ERROR_NOT_SUPPORTED));
    if ((samDesired & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    if (IsPredefined(hKey) && (!lpSubKey || !*lpSubKey)) {
        *phkResult = hKey; // Windows hands the predefined handle back
        return ERROR_SUCCESS;
    }
    std::vector<std::u16string> names;
    LONG splitError = ERROR_SUCCESS;
    if (!SplitPath(lpSubKey, &names, &splitError))
        return ERROR_FILE_NOT_FOUND;
    KeyView opened;
    REGSAM granted = 0;
    LONG rc = RunTransaction(false, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = Resolve(t, hKey, &ref))
            return error;
        KeyView view = ref.view;
        if (LONG error = WalkPath(t, view, names))
            return error;
        if (LONG error = GrantAccess(t, view, samDesired, &granted))
            return error;
        opened = std::move(view);
        return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS)
        *phkResult = NewHandle(std::move(opened), granted);
    return rc;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s, 0x%x", DescribeSubKey(hKey, lpSubKey).c_str(), samDesired);
    if (!phkResult || !lpSubKey || Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    if (dwOptions != REG_OPTION_NON_VOLATILE)
        return NotSupportedCode(__func__, "key options", static_cast<LONG>(ERROR_NOT_SUPPORTED));
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor)
        return NotSupportedCode(__func__, "security descriptor",
                                static_cast<LONG>(ERROR_NOT_SUPPORTED));
    REGSAM normalised = 0;
    if (!NormaliseAccess(samDesired, &normalised))
        return NotSupportedCode(__func__, "access right", static_cast<LONG>(ERROR_NOT_SUPPORTED));
    if ((samDesired & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> names;
    LONG splitError = ERROR_SUCCESS;
    if (!SplitPath(lpSubKey, &names, &splitError))
        return splitError;
    CreateMissing create{ToU16(lpClass)};
    KeyView opened;
    REGSAM granted = 0;
    LONG rc = RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = Resolve(t, hKey, &ref))
            return error;
        KeyView view = ref.view;
        if (LONG error = WalkPath(t, view, names, &create))
            return error;
        if (view.kind == ViewKind::Empty)
            return ERROR_ACCESS_DENIED;
        if (LONG error = GrantAccess(t, view, samDesired, &granted))
            return error;
        opened = std::move(view);
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    *phkResult = NewHandle(std::move(opened), granted);
    if (lpdwDisposition)
        *lpdwDisposition = create.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s", Describe(hKey).c_str());
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    std::shared_ptr<KernelObject> object = RemoveHandle(hKey, HandleKind::RegistryKey);
    return object ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    const std::u16string name = ToU16(lpValueName);
    return RunTransaction(false, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_QUERY_VALUE, &ref))
            return error;
        std::optional<Part> part = PrimaryPart(ref.view);
        std::optional<ValueRow> value = part ? t.Value(part->id, name) : std::nullopt;
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        return CopyData(*value, lpType, lpData, lpcbData);
    });
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s, %s, %u, %u", Describe(hKey).c_str(), ToUtf8(lpValueName).c_str(),
                dwType, cbData);
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    const std::u16string name = ToU16(lpValueName);
    if (name.size() > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    return RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_SET_VALUE, &ref))
            return error;
        std::optional<Part> part = PrimaryPart(ref.view);
        if (!part && ref.view.kind == ViewKind::Classes) // values of the bare classes root
            part = Part{Hive::Machine, EnsureMachineClassesKey(t, {})};
        if (!part)
            return ERROR_ACCESS_DENIED;
        t.SetValue(part->id, name, dwType, lpData, cbData);
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s, %s", Describe(hKey).c_str(), ToUtf8(lpValueName).c_str());
    const std::u16string name = ToU16(lpValueName);
    return RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_SET_VALUE, &ref))
            return error;
        std::optional<Part> part = PrimaryPart(ref.view);
        if (!part || !t.DeleteValue(part->id, name))
            return ERROR_FILE_NOT_FOUND;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s", DescribeSubKey(hKey, lpSubKey).c_str());
    return DeleteKeyCommon(hKey, lpSubKey);
}

LONG WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (CallLogEnabled())
        LogCall(__func__, "%s, 0x%x", DescribeSubKey(hKey, lpSubKey).c_str(), samDesired);
    if (Reserved != 0 || (samDesired & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    // One registry view on the host: either view flag names the same tree.
    if (samDesired & ~KEY_WOW64_RES)
        return NotSupportedCode(__func__, "access rights besides the view flags",
                                static_cast<LONG>(ERROR_NOT_SUPPORTED));
    return DeleteKeyCommon(hKey, lpSubKey);
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    return RunTransaction(false, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_ENUMERATE_SUB_KEYS, &ref))
            return error;
        std::shared_ptr<const ChildList> children = ChildrenOf(t, ref.view);
        if (dwIndex >= children->rows.size())
            return ERROR_NO_MORE_ITEMS;
        const KeyRow& child = children->rows[dwIndex];
        if (child.name.size() + 1 > *lpcchName ||
            (lpClass && child.keyClass.size() + 1 > *lpcchClass))
            return ERROR_MORE_DATA;
        CopyName(child.name, lpName, lpcchName);
        if (lpClass)
            CopyName(child.keyClass, lpClass, lpcchClass);
        else if (lpcchClass)
            *lpcchClass = static_cast<DWORD>(child.keyClass.size());
        if (lpftLastWriteTime) {
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(child.written);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(child.written >> 32);
        }
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return RunTransaction(false, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_QUERY_VALUE, &ref))
            return error;
        std::shared_ptr<const ValueList> values = ValuesOf(t, ref.view);
        if (dwIndex >= values->rows.size())
            return ERROR_NO_MORE_ITEMS;
        const ValueRow& value = values->rows[dwIndex];
        if (LONG error = CopyName(value.name, lpValueName, lpcchValueName))
            return error;
        return CopyData(value, lpType, lpData, lpcbData);
    });
}

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(LONG);
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    if (lpcbSecurityDescriptor)
        return NotSupportedCode(__func__, "security descriptors",
                                static_cast<LONG>(ERROR_NOT_SUPPORTED));
    return RunTransaction(false, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = ResolveFor(t, hKey, KEY_QUERY_VALUE, &ref))
            return error;
        std::optional<Part> part = PrimaryPart(ref.view);
        std::optional<KeyRow> row = part ? t.Key(part->id) : std::nullopt;
        std::u16string keyClass = row ? row->keyClass : std::u16string();
        if (lpClass) {
            if (keyClass.size() + 1 > *lpcchClass) {
                *lpcchClass = static_cast<DWORD>(keyClass.size());
                return ERROR_MORE_DATA;
            }
            CopyName(keyClass, lpClass, lpcchClass);
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(keyClass.size());
        }
        std::shared_ptr<const ChildList> children = ChildrenOf(t, ref.view);
        std::shared_ptr<const ValueList> values = ValuesOf(t, ref.view);
        if (lpcSubKeys)
            *lpcSubKeys = static_cast<DWORD>(children->rows.size());
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = static_cast<DWORD>(children->maxName);
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = static_cast<DWORD>(children->maxClass);
        if (lpcValues)
            *lpcValues = static_cast<DWORD>(values->rows.size());
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = static_cast<DWORD>(values->maxName);
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = static_cast<DWORD>(values->maxData);
        if (lpftLastWriteTime) {
            int64_t written = row ? row->written : 0;
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(written);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(written >> 32);
        }
        return ERROR_SUCCESS;
    });
}

} // extern "C"
