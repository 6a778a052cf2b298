// Advapi32 registry functions over the machine's registry store: key handles in the handle
// table, access masks, the merged classes view, and Windows' error codes.
#include "registry_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace hostwin::registry {

namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kSpecificRights = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                   KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;
constexpr REGSAM kStandardRights = DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

const char16_t* const kClassesRootName = u"HKEY_CLASSES_ROOT";

enum class ViewKind { Stored, Classes, Empty };

// What a handle stands for. A classes view has up to two parts, the user's key below
// HKCU\Software\Classes and the machine's below HKLM\SOFTWARE\Classes (0 where absent).
struct KeyView {
    ViewKind kind = ViewKind::Stored;
    Hive hive = Hive::Machine;
    KeyId id = 0;
    KeyId userId = 0;
    KeyId machineId = 0;
    std::vector<std::u16string> classesPath; // below the classes roots
    std::u16string path;                     // full name, for the call log
};

struct Part {
    Hive hive;
    KeyId id;
};

class RegistryKeyObject : public KernelObject {
public:
    RegistryKeyObject(KeyView view, REGSAM access)
        : KernelObject(HandleKind::RegistryKey), m_view(std::move(view)), m_access(access) {}
    const KeyView& View() const { return m_view; }
    REGSAM Access() const { return m_access; }

private:
    KeyView m_view;
    REGSAM m_access;
};

struct KeyRef {
    KeyView view;
    REGSAM access = 0;
    bool predefined = false;
};

uintptr_t HandleValue(HKEY key) {
    return reinterpret_cast<uintptr_t>(key);
}

bool IsPredefined(HKEY key) {
    uintptr_t value = HandleValue(key) & 0xFFFFFFFFu;
    return value >= 0x80000000u && value <= 0x80000006u;
}

const char16_t* PredefinedName(HKEY key) {
    static const char16_t* const names[] = {
        u"HKEY_CLASSES_ROOT",     u"HKEY_CURRENT_USER",   u"HKEY_LOCAL_MACHINE", u"HKEY_USERS",
        u"HKEY_PERFORMANCE_DATA", u"HKEY_CURRENT_CONFIG", u"HKEY_DYN_DATA"};
    return names[(HandleValue(key) & 0xFFFFFFFFu) - 0x80000000u];
}

std::vector<Part> Parts(const KeyView& view) {
    switch (view.kind) {
    case ViewKind::Stored:
        return {Part{view.hive, view.id}};
    case ViewKind::Classes: {
        std::vector<Part> parts;
        if (view.userId)
            parts.push_back(Part{Hive::User, view.userId});
        if (view.machineId)
            parts.push_back(Part{Hive::Machine, view.machineId});
        return parts;
    }
    case ViewKind::Empty:
        break;
    }
    return {};
}

// Values are read from, and written to, the user's part of a classes view when it has one.
std::optional<Part> PrimaryPart(const KeyView& view) {
    std::vector<Part> parts = Parts(view);
    if (parts.empty())
        return std::nullopt;
    return parts.front();
}

bool PartWritable(StoreTransaction& t, const Part& part) {
    if (part.hive == Hive::Machine && !Elevated())
        return false;
    std::optional<KeyRow> row = t.Key(part.id);
    return row && !row->readOnly;
}

KeyId FindPath(StoreTransaction& t, KeyId from, std::initializer_list<const char16_t*> names) {
    KeyId id = from;
    for (const char16_t* name : names) {
        std::optional<KeyId> child = t.FindChild(id, name);
        if (!child)
            return 0;
        id = *child;
    }
    return id;
}

KeyView ClassesRootView(StoreTransaction& t) {
    KeyView view;
    view.kind = ViewKind::Classes;
    view.userId = FindPath(t, t.HiveRoot(Hive::User), {u"Software", u"Classes"});
    view.machineId = FindPath(t, t.HiveRoot(Hive::Machine), {u"SOFTWARE", u"Classes"});
    view.path = kClassesRootName;
    return view;
}

KeyView PredefinedView(StoreTransaction& t, HKEY key) {
    KeyView view;
    view.path = PredefinedName(key);
    switch (HandleValue(key) & 0xFFFFFFFFu) {
    case 0x80000000u:
        return ClassesRootView(t);
    case 0x80000001u:
        view.hive = Hive::User;
        break;
    case 0x80000002u:
        view.hive = Hive::Machine;
        break;
    case 0x80000003u:
        view.hive = Hive::Users;
        break;
    case 0x80000005u:
        view.hive = Hive::Config;
        break;
    default: // performance data and dynamic data exist and hold nothing
        view.kind = ViewKind::Empty;
        return view;
    }
    view.id = t.HiveRoot(view.hive);
    return view;
}

// Full rights where the caller may write the key a predefined handle writes to.
REGSAM PredefinedAccess(StoreTransaction& t, const KeyView& view) {
    std::optional<Part> part = PrimaryPart(view);
    if (view.kind == ViewKind::Classes && !part)
        return Elevated() ? KEY_ALL_ACCESS : KEY_READ; // machine classes key made on demand
    return part && PartWritable(t, *part) ? KEY_ALL_ACCESS : KEY_READ;
}

LONG Resolve(StoreTransaction& t, HKEY key, KeyRef* ref) {
    if (IsPredefined(key)) {
        ref->view = PredefinedView(t, key);
        ref->access = PredefinedAccess(t, ref->view);
        ref->predefined = true;
        return ERROR_SUCCESS;
    }
    auto object = LookupHandleAs<RegistryKeyObject>(key, HandleKind::RegistryKey);
    if (!object)
        return ERROR_INVALID_HANDLE;
    ref->view = object->View();
    ref->access = object->Access();
    ref->predefined = false;
    KeyView& view = ref->view;
    if (view.kind == ViewKind::Stored && !t.KeyExists(view.id))
        return ERROR_KEY_DELETED;
    if (view.kind == ViewKind::Classes) {
        bool hadPart = view.userId || view.machineId;
        if (view.userId && !t.KeyExists(view.userId))
            view.userId = 0;
        if (view.machineId && !t.KeyExists(view.machineId))
            view.machineId = 0;
        if (hadPart && !view.userId && !view.machineId)
            return ERROR_KEY_DELETED;
    }
    return ERROR_SUCCESS;
}

// Resolves the handle and checks that it was opened with the `needed` rights.
LONG ResolveFor(StoreTransaction& t, HKEY key, REGSAM needed, KeyRef* ref) {
    if (LONG error = Resolve(t, key, ref))
        return error;
    return (ref->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::u16string Join(const std::u16string& path, const std::u16string& name) {
    return path + u"\\" + name;
}

std::optional<KeyView> OpenChild(StoreTransaction& t, const KeyView& parent,
                                 const std::u16string& name) {
    KeyView child = parent;
    child.path = Join(parent.path, name);
    switch (parent.kind) {
    case ViewKind::Stored: {
        std::optional<KeyId> id = t.FindChild(parent.id, name);
        if (!id)
            return std::nullopt;
        child.id = *id;
        return child;
    }
    case ViewKind::Classes: {
        child.userId = parent.userId ? t.FindChild(parent.userId, name).value_or(0) : 0;
        child.machineId = parent.machineId ? t.FindChild(parent.machineId, name).value_or(0) : 0;
        if (!child.userId && !child.machineId)
            return std::nullopt;
        child.classesPath.push_back(name);
        return child;
    }
    case ViewKind::Empty:
        break;
    }
    return std::nullopt;
}

// The machine's key for a classes path, created along the way.
KeyId EnsureMachineClassesKey(StoreTransaction& t, const std::vector<std::u16string>& path) {
    KeyId id = t.HiveRoot(Hive::Machine);
    std::vector<std::u16string> names = {u"SOFTWARE", u"Classes"};
    names.insert(names.end(), path.begin(), path.end());
    for (const std::u16string& name : names) {
        std::optional<KeyId> child = t.FindChild(id, name);
        id = child ? *child : t.CreateChild(id, name, u"");
    }
    return id;
}

// Creates a missing child. New classes keys go to the machine's classes unless their parent
// exists below the user's classes.
LONG CreateChild(StoreTransaction& t, const KeyView& parent, const std::u16string& name,
                 const std::u16string& keyClass, KeyView* child) {
    *child = parent;
    child->path = Join(parent.path, name);
    switch (parent.kind) {
    case ViewKind::Stored:
        if (!PartWritable(t, Part{parent.hive, parent.id}))
            return ERROR_ACCESS_DENIED;
        child->id = t.CreateChild(parent.id, name, keyClass);
        return ERROR_SUCCESS;
    case ViewKind::Classes:
        child->classesPath.push_back(name);
        if (parent.userId && !parent.classesPath.empty()) {
            if (!PartWritable(t, Part{Hive::User, parent.userId}))
                return ERROR_ACCESS_DENIED;
            child->userId = t.CreateChild(parent.userId, name, keyClass);
            child->machineId = 0;
            return ERROR_SUCCESS;
        }
        if (!Elevated() ||
            (parent.machineId && !PartWritable(t, Part{Hive::Machine, parent.machineId})))
            return ERROR_ACCESS_DENIED;
        {
            KeyId machineParent = parent.machineId ? parent.machineId
                                                   : EnsureMachineClassesKey(t, parent.classesPath);
            child->machineId = t.CreateChild(machineParent, name, keyClass);
        }
        child->userId = 0;
        return ERROR_SUCCESS;
    case ViewKind::Empty:
        break;
    }
    return ERROR_ACCESS_DENIED;
}

// Splits "a\b\c\" into its names. Returns false on an empty name inside the path or a name
// longer than a key name can be.
bool SplitPath(const WCHAR* text, std::vector<std::u16string>* names, LONG* error) {
    names->clear();
    std::u16string path = ToU16(text);
    if (!path.empty() && path.back() == u'\\')
        path.pop_back();
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string name = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (name.empty()) {
            *error = ERROR_BAD_PATHNAME;
            return false;
        }
        if (name.size() > kMaxKeyNameLength) {
            *error = ERROR_INVALID_PARAMETER;
            return false;
        }
        names->push_back(std::move(name));
        if (end == std::u16string::npos)
            return true;
        start = end + 1;
    }
}

// Maps generic rights and MAXIMUM_ALLOWED; false for rights this registry does not know.
bool NormaliseAccess(REGSAM requested, REGSAM* access) {
    REGSAM result = requested & (kSpecificRights | kStandardRights | KEY_WOW64_RES);
    REGSAM rest = requested & ~(kSpecificRights | kStandardRights | KEY_WOW64_RES);
    if (rest & kGenericRead)
        result |= KEY_READ;
    if (rest & kGenericWrite)
        result |= KEY_WRITE;
    if (rest & kGenericExecute)
        result |= KEY_EXECUTE;
    if (rest & (kGenericAll | kMaximumAllowed))
        result |= KEY_ALL_ACCESS;
    rest &= ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
    *access = result;
    return rest == 0;
}

// The rights a new handle gets; ERROR_ACCESS_DENIED when it asks to write what it may not.
LONG GrantAccess(StoreTransaction& t, const KeyView& view, REGSAM requested, REGSAM* granted) {
    REGSAM access = 0;
    NormaliseAccess(requested, &access);
    std::optional<Part> part = PrimaryPart(view);
    bool writable = part && PartWritable(t, *part);
    if (!writable) {
        if (requested & kMaximumAllowed)
            access &= ~kWriteRights;
        else if (access & kWriteRights)
            return ERROR_ACCESS_DENIED;
    }
    *granted = access;
    return ERROR_SUCCESS;
}

HKEY NewHandle(KeyView view, REGSAM access) {
    return static_cast<HKEY>(
        InsertHandle(std::make_shared<RegistryKeyObject>(std::move(view), access)));
}

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

// Subkeys as enumeration shows them; a classes view merges both parts, the user's spelling
// first.
std::vector<KeyRow> ChildrenOf(StoreTransaction& t, const KeyView& view) {
    std::vector<Part> parts = Parts(view);
    if (parts.size() == 1)
        return t.Children(parts.front().id);
    std::map<std::u16string, KeyRow> merged;
    for (const Part& part : parts)
        for (KeyRow& row : t.Children(part.id))
            merged.emplace(FoldName(row.name), std::move(row));
    std::vector<KeyRow> rows;
    for (auto& entry : merged)
        rows.push_back(std::move(entry.second));
    return rows;
}

std::vector<ValueRow> ValuesOf(StoreTransaction& t, const KeyView& view) {
    std::optional<Part> part = PrimaryPart(view);
    return part ? t.Values(part->id) : std::vector<ValueRow>();
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
        for (const std::u16string& name : names) {
            std::optional<KeyView> child = OpenChild(t, view, name);
            if (!child)
                return ERROR_FILE_NOT_FOUND;
            view = std::move(*child);
        }
        std::optional<Part> part = PrimaryPart(view);
        if (!part)
            return ERROR_FILE_NOT_FOUND;
        if (!PartWritable(t, *part))
            return ERROR_ACCESS_DENIED;
        if (t.ChildCount(part->id) > 0)
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
        for (const std::u16string& name : names) {
            std::optional<KeyView> child = OpenChild(t, view, name);
            if (!child)
                return ERROR_FILE_NOT_FOUND;
            view = std::move(*child);
        }
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
        return NotSupported(__func__, "options other than 0",
                            static_cast<LONG>(ERROR_NOT_SUPPORTED));
    REGSAM normalised = 0;
    if (!NormaliseAccess(samDesired, &normalised))
        return NotSupported(__func__, "access right", static_cast<LONG>(ERROR_NOT_SUPPORTED));
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
        for (const std::u16string& name : names) {
            std::optional<KeyView> child = OpenChild(t, view, name);
            if (!child)
                return ERROR_FILE_NOT_FOUND;
            view = std::move(*child);
        }
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
        return NotSupported(__func__, "key options", static_cast<LONG>(ERROR_NOT_SUPPORTED));
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor)
        return NotSupported(__func__, "security descriptor",
                            static_cast<LONG>(ERROR_NOT_SUPPORTED));
    REGSAM normalised = 0;
    if (!NormaliseAccess(samDesired, &normalised))
        return NotSupported(__func__, "access right", static_cast<LONG>(ERROR_NOT_SUPPORTED));
    if ((samDesired & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> names;
    LONG splitError = ERROR_SUCCESS;
    if (!SplitPath(lpSubKey, &names, &splitError))
        return splitError;
    const std::u16string keyClass = ToU16(lpClass);
    KeyView opened;
    REGSAM granted = 0;
    bool created = false;
    LONG rc = RunTransaction(true, [&](StoreTransaction& t) -> LONG {
        KeyRef ref;
        if (LONG error = Resolve(t, hKey, &ref))
            return error;
        KeyView view = ref.view;
        for (const std::u16string& name : names) {
            std::optional<KeyView> child = OpenChild(t, view, name);
            if (child) {
                view = std::move(*child);
                continue;
            }
            KeyView made;
            if (LONG error = CreateChild(t, view, name, keyClass, &made))
                return error;
            view = std::move(made);
            created = true;
        }
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
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
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
        return NotSupported(__func__, "access rights besides the view flags",
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
        std::vector<KeyRow> children = ChildrenOf(t, ref.view);
        if (dwIndex >= children.size())
            return ERROR_NO_MORE_ITEMS;
        const KeyRow& child = children[dwIndex];
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
        std::vector<ValueRow> values = ValuesOf(t, ref.view);
        if (dwIndex >= values.size())
            return ERROR_NO_MORE_ITEMS;
        const ValueRow& value = values[dwIndex];
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
        return NotSupported(__func__, "security descriptors",
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
        std::vector<KeyRow> children = ChildrenOf(t, ref.view);
        std::vector<ValueRow> values = ValuesOf(t, ref.view);
        size_t maxSubKey = 0, maxClass = 0, maxValueName = 0, maxValue = 0;
        for (const KeyRow& child : children) {
            maxSubKey = std::max(maxSubKey, child.name.size());
            maxClass = std::max(maxClass, child.keyClass.size());
        }
        for (const ValueRow& value : values) {
            maxValueName = std::max(maxValueName, value.name.size());
            maxValue = std::max(maxValue, value.data.size());
        }
        if (lpcSubKeys)
            *lpcSubKeys = static_cast<DWORD>(children.size());
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = static_cast<DWORD>(maxSubKey);
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = static_cast<DWORD>(maxClass);
        if (lpcValues)
            *lpcValues = static_cast<DWORD>(values.size());
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = static_cast<DWORD>(maxValueName);
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = static_cast<DWORD>(maxValue);
        if (lpftLastWriteTime) {
            int64_t written = row ? row->written : 0;
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(written);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(written >> 32);
        }
        return ERROR_SUCCESS;
    });
}

} // extern "C"
