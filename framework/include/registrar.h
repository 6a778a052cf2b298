// The registry-script registrar: a map of %NAME% replacements, the loading of a "REGISTRY"
// resource, and the parser that expands a script, splits it into tokens and applies it to the
// registry in register or unregister mode.
//
// The text layer (ExpandScript, NextToken and their helpers) touches nothing but the text and
// the registrar's replacements, so it can be driven with plain strings; only ApplyScript and
// the operations below it call the registry.
//
// Text is read by characters as CharNextW steps them (a letter with its combining marks), so
// no mark is ever separated from its letter or lost. The script's own punctuation (quotes,
// percent signs, the "HKCR" root) is matched and stepped over by single units, so that a mark
// after it stays in the text instead of vanishing with it.
#pragma once

#include "core.h"
#include "registrarbase.h"
#include "regkey.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// Replacement names and values, each a copy owned by the map, in the order they were added.
// Duplicates are kept; lookups find the first, so the earliest definition of a name wins.
class ReplacementMap {
public:
    ReplacementMap() = default;
    ~ReplacementMap() { ClearEntries(); }
    ReplacementMap(const ReplacementMap&) = delete;
    ReplacementMap& operator=(const ReplacementMap&) = delete;

    // FALSE for a null name or value, or when the copies or the arrays cannot be allocated.
    BOOL AddEntry(LPCOLESTR name, LPCOLESTR value);
    // The value of the first entry whose name equals `name` without regard to case, or NULL.
    LPCOLESTR FindValue(LPCOLESTR name) const;
    void ClearEntries();
    int GetSize() const { return m_nSize; }

    LPOLESTR* m_names = NULL;
    LPOLESTR* m_values = NULL;
    int m_nSize = 0;
};

// The registrar. Not a COM object: it lives in the scope of its owner, and the IUnknown slots
// exist only because its interface derives from IUnknown.
class CRegObject : public IRegistrarBase {
public:
    CRegObject() = default;
    ~CRegObject() override;
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    // E_INVALIDARG for a null name or value, E_OUTOFMEMORY when the entry cannot be stored.
    HRESULT STDMETHODCALLTYPE DefineReplacement(LPCOLESTR key, LPCOLESTR item) override;
    HRESULT STDMETHODCALLTYPE ClearAllReplacements() override;

    // Must succeed before any replacement operation.
    HRESULT Initialize();
    // The stored value (valid until the replacements are cleared), or NULL with a trace.
    LPCOLESTR LookupReplacement(LPCOLESTR name);

    // Apply the script resource `id` (its low 16 bits, as an integer id) of type `type` from
    // the module file `file`.
    HRESULT RegisterScriptResource(LPCOLESTR file, UINT id, LPCOLESTR type);
    HRESULT UnregisterScriptResource(LPCOLESTR file, UINT id, LPCOLESTR type);
    // `resource` is an integer id or a name.
    HRESULT ApplyScriptResource(LPCOLESTR file, LPCOLESTR resource, LPCOLESTR type, BOOL bRegister);

    ReplacementMap m_replacements;
    CCheckedCritSec m_replacementsLock;
};

// Copies `source` into `destination` (`capacity` characters, terminator included) with every
// single quote doubled, so it can stand in a quoted script token. A source that does not fit
// is cut; nothing happens for a capacity of 0.
void DoubleSingleQuotes(LPOLESTR destination, DWORD capacity, LPCOLESTR source);

// Defines "Module_Raw", the module file's path with single quotes doubled (cut to 519
// characters), and "Module", the same path, in double quotes when the module is an
// executable, as command lines need it.
HRESULT DefineModuleReplacements(IRegistrarBase* pRegistrar, LPCOLESTR szModule, bool bExecutable);

// The growable text that expansion writes into, allocated with the task allocator. A buffer
// whose first allocation failed has a null m_text; its user must check.
class ExpansionBuffer {
public:
    // A request below 100 characters becomes 1000.
    explicit ExpansionBuffer(int requestedCapacity);
    ~ExpansionBuffer();
    ExpansionBuffer(const ExpansionBuffer&) = delete;
    ExpansionBuffer& operator=(const ExpansionBuffer&) = delete;

    // FALSE when the length or the capacity would overflow or the text cannot grow.
    BOOL AppendChars(LPCOLESTR chars, int count);
    BOOL AppendString(LPCOLESTR text);
    // Hands the text to the caller (who frees it with CoTaskMemFree) and leaves the buffer empty.
    LPOLESTR TakeText();

    int m_length = 0;
    int m_capacity = 0;
    LPOLESTR m_text = NULL;
};

// Result of every syntax error in a script; the trace line tells the causes apart.
constexpr HRESULT kScriptError = DISP_E_EXCEPTION;
// Units in every token buffer; a token holds at most 4094 units.
constexpr int kTokenCapacity = 4096;
// Longest replacement name a script can refer to.
constexpr int kMaxReplacementName = 31;
// Keys nest no deeper than this below a root, values one level deeper, inside the deepest
// keys; a script with an entry deeper than that is refused before the entry is touched, which
// also bounds the parser's recursion. The clean-up pass after such a refusal still removes the
// keys registration created above it.
constexpr int kMaxKeyDepth = 512;

// One application of one script, on the stack of its caller, used by one thread.
class ScriptParser {
public:
    explicit ScriptParser(CRegObject* registrar) : m_cursor(NULL), m_registrar(registrar) {}

    // Text layer.

    // %NAME% replaced, "%%" made one "%", and with per-user registration every top-level
    // "HKCR" rewritten into HKCU\Software\Classes. On success *expanded is a new text the
    // caller frees with CoTaskMemFree; on failure it is NULL.
    HRESULT ExpandScript(LPCOLESTR text, LPOLESTR* expanded);
    // The next token into `token` (kTokenCapacity units), quotes removed; kScriptError at the
    // end of the text, for an unclosed quote, or for a token beyond the bound.
    HRESULT NextToken(LPOLESTR token);
    void SkipBlanks();
    static BOOL IsBlank(OLECHAR c);
    // The cursor is on a single quote whose next unit is not another one.
    BOOL IsClosingQuote() const;
    // The first `c` in `text`, stepping by characters; NULL for a null text or when absent.
    static LPCOLESTR FindChar(LPCOLESTR text, OLECHAR c);

    // Registry layer.

    // Expands `text` and applies it; a failed registration of a root block is undone by an
    // unregister pass over that block.
    HRESULT ApplyScript(LPCOLESTR text, BOOL bRegister);
    // Called with the opening "{" in `token`; returns with the closing "}" there. `nDepth` is
    // the nesting level of the block's keys below the root (1 for a root block).
    HRESULT ApplyKeyBlock(LPOLESTR token, HKEY hkParent, BOOL bRegister, BOOL bRecover,
                          int nDepth = 1);
    // Called with the "=" token current: reads the type letter and the data, writes the value
    // (NULL name: the key's default value) and reads the next token into `token`.
    // Not inlined here or below: their token buffers must stay out of the recursive frames.
    [[gnu::noinline]] HRESULT WriteValue(CRegKey& key, LPCOLESTR szValueName, LPOLESTR token);
    // Skips "= type data" when `token` begins with "=", reading the next token into it.
    [[gnu::noinline]] HRESULT SkipValueAssignment(LPOLESTR token);

    static HKEY HKeyFromString(LPCOLESTR name);
    // FALSE for the protected names that ForceRemove and Delete never delete.
    static BOOL IsRemovableKeyName(LPCOLESTR name);
    // The variant kind of a type letter; FALSE (kind 0) for anything else.
    static BOOL ValueTypeFromLetter(LPCOLESTR token, VARTYPE* kind);
    // 0 for a unit that is not a hex digit, with a trace.
    static BYTE HexDigitValue(OLECHAR c);
    // FALSE also when the count cannot be read, with a trace.
    static BOOL KeyHasSubkeys(HKEY hKey);

    LPCOLESTR m_cursor;
    CRegObject* m_registrar;

private:
    // Set when an entry lay deeper than allowed; such a script fails even where recovery
    // mode would read on.
    bool m_bNestingTooDeep = false;
    // Set during the clean-up pass after a failed registration.
    bool m_bUndoing = false;

    // Handles one value entry; its buffers stay out of ApplyKeyBlock's recursive frame.
    [[gnu::noinline]] HRESULT ApplyValueEntry(LPOLESTR token, HKEY hkParent, BOOL bRegister,
                                              BOOL bRecover, BOOL bRemove);
    HRESULT RegisterKeyEntry(LPOLESTR token, HKEY hkParent, CRegKey& keyCur, int nDepth);
    HRESULT UnregisterKeyEntry(LPOLESTR token, HKEY hkParent, BOOL bRecover, BOOL bRemove,
                               int nDepth);
    // In register mode a block right after a "Delete" or value entry has no key to go
    // below: it is read without touching the registry.
    HRESULT SkipOrphanBlock(LPOLESTR token, int nDepth);
    // Records that the script nests too deep and returns the script-error result.
    HRESULT RefuseNesting();
    HRESULT ApplyScriptText(LPOLESTR expanded, BOOL bRegister);
};
