// The key view and access policy of the registry.
#include "registry/registry_view.h"

#include <cstdlib>
#include <cstring>

namespace hostwin::registry {

namespace {

constexpr REGSAM kSpecificRights = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                   KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;
constexpr REGSAM kStandardRights = DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

const char16_t* const kClassesRootName = u"HKEY_CLASSES_ROOT";

uintptr_t HandleValue(HKEY key) {
    return reinterpret_cast<uintptr_t>(key);
}

} // namespace

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

namespace {

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

} // namespace

namespace {

KeyView ClassesRootView(StoreTransaction& t) {
    KeyView view;
    view.kind = ViewKind::Classes;
    view.userId = FindPath(t, t.HiveRoot(Hive::User), {u"Software", u"Classes"});
    view.machineId = FindPath(t, t.HiveRoot(Hive::Machine), {u"SOFTWARE", u"Classes"});
    view.path = kClassesRootName;
    return view;
}

} // namespace

namespace {

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

} // namespace

namespace {

// Full rights where the caller may write the key a predefined handle writes to.
REGSAM PredefinedAccess(StoreTransaction& t, const KeyView& view) {
    std::optional<Part> part = PrimaryPart(view);
    if (view.kind == ViewKind::Classes && !part)
        return Elevated() ? KEY_ALL_ACCESS : KEY_READ; // machine classes key made on demand
    return part && PartWritable(t, *part) ? KEY_ALL_ACCESS : KEY_READ;
}

} // namespace

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

namespace {

std::u16string Join(const std::u16string& path, const std::u16string& name) {
    return path + u"\\" + name;
}

} // namespace

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

namespace {

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

} // namespace

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
    constexpr REGSAM kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    GENERIC_MAPPING keyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    REGSAM result =
        requested & (kSpecificRights | kStandardRights | KEY_WOW64_RES | kGenericRights);
    MapGenericMask(&result, &keyMapping);
    if (requested & MAXIMUM_ALLOWED)
        result |= KEY_ALL_ACCESS;
    *access = result;
    return (requested & ~(kSpecificRights | kStandardRights | KEY_WOW64_RES | kGenericRights |
                          MAXIMUM_ALLOWED)) == 0;
}

// The rights a new handle gets; ERROR_ACCESS_DENIED when it asks to write what it may not.
LONG GrantAccess(StoreTransaction& t, const KeyView& view, REGSAM requested, REGSAM* granted) {
    REGSAM access = 0;
    NormaliseAccess(requested, &access);
    std::optional<Part> part = PrimaryPart(view);
    bool writable = part && PartWritable(t, *part);
    if (!writable) {
        if (requested & MAXIMUM_ALLOWED)
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

// Subkeys as enumeration shows them; a classes view merges both parts, the user's spelling
// first.
std::shared_ptr<const ChildList> ChildrenOf(StoreTransaction& t, const KeyView& view) {
    std::vector<KeyId> ids;
    for (const Part& part : Parts(view))
        ids.push_back(part.id);
    return t.Children(ids);
}

std::shared_ptr<const ValueList> ValuesOf(StoreTransaction& t, const KeyView& view) {
    std::optional<Part> part = PrimaryPart(view);
    return part ? t.Values(part->id) : std::make_shared<const ValueList>();
}

LONG WalkPath(StoreTransaction& t, KeyView& view, const std::vector<std::u16string>& names,
              CreateMissing* create) {
    for (const std::u16string& name : names) {
        if (std::optional<KeyView> child = OpenChild(t, view, name)) {
            view = std::move(*child);
            continue;
        }
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        KeyView made;
        if (LONG error = CreateChild(t, view, name, create->keyClass, &made))
            return error;
        view = std::move(made);
        create->created = true;
    }
    return ERROR_SUCCESS;
}

} // namespace hostwin::registry
