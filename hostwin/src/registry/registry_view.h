// The registry's key view and access policy: what a key handle stands for (a stored key, the
// merged classes view of the user's and the machine's classes, an empty predefined key), the
// rights a handle gets and may use, read-only keys, and the one walk down a key path. The
// registry functions in registry.cpp stand on these.
#pragma once

#include "registry/registry_store.h"

#include <optional>
#include <string>
#include <vector>

namespace hostwin::registry {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

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

bool IsPredefined(HKEY key);
const char16_t* PredefinedName(HKEY key);

// The stored keys a view stands on; the first is where its values are read and written.
std::vector<Part> Parts(const KeyView& view);
std::optional<Part> PrimaryPart(const KeyView& view);
// Whether this machine's user may write the stored key.
bool PartWritable(StoreTransaction& t, const Part& part);

// The one prologue of every call on a handle: what the handle stands for and with which
// rights, ERROR_INVALID_HANDLE or ERROR_KEY_DELETED when it stands for nothing.
LONG Resolve(StoreTransaction& t, HKEY key, KeyRef* ref);
// The same, and ERROR_ACCESS_DENIED unless the handle was opened with the `needed` rights.
LONG ResolveFor(StoreTransaction& t, HKEY key, REGSAM needed, KeyRef* ref);

std::optional<KeyView> OpenChild(StoreTransaction& t, const KeyView& parent,
                                 const std::u16string& name);
// The machine's key for a classes path, created along the way.
KeyId EnsureMachineClassesKey(StoreTransaction& t, const std::vector<std::u16string>& path);

// Missing keys that a walk creates, and whether it created any.
struct CreateMissing {
    std::u16string keyClass;
    bool created = false;
};
// The one walk down a key path: moves `view` along `names`. Without `create` a missing key
// ends the walk with ERROR_FILE_NOT_FOUND; with it, missing keys are created (the classes
// view decides where), or the walk ends with ERROR_ACCESS_DENIED where they may not be.
LONG WalkPath(StoreTransaction& t, KeyView& view, const std::vector<std::u16string>& names,
              CreateMissing* create = nullptr);

// Splits "a\b\c\" into its names. Returns false on an empty name inside the path
// (ERROR_BAD_PATHNAME) or a name longer than a key name can be (ERROR_INVALID_PARAMETER).
bool SplitPath(const WCHAR* text, std::vector<std::u16string>* names, LONG* error);
// Maps generic rights and MAXIMUM_ALLOWED; false for rights this registry does not know.
bool NormaliseAccess(REGSAM requested, REGSAM* access);
// The rights a new handle gets; ERROR_ACCESS_DENIED when it asks to write what it may not.
LONG GrantAccess(StoreTransaction& t, const KeyView& view, REGSAM requested, REGSAM* granted);
HKEY NewHandle(KeyView view, REGSAM access);

// Sub-keys as enumeration shows them (a classes view merges both parts, the user's spelling
// first), and values.
std::shared_ptr<const ChildList> ChildrenOf(StoreTransaction& t, const KeyView& view);
std::shared_ptr<const ValueList> ValuesOf(StoreTransaction& t, const KeyView& view);

} // namespace hostwin::registry
