// The registry layer of the registry-script parser: root blocks, key and value entries, and
// the writing and deleting they stand for in register and unregister mode.
#include "registrar.h"

#include "errors.h"
#include "tempbuffer.h"
#include "trace.h"

namespace {

struct RootName {
    LPCOLESTR name;
    HKEY key;
};

// First match wins, compared without regard to case.
const RootName kRootNames[] = {
    {TEXT("HKCR"), HKEY_CLASSES_ROOT},
    {TEXT("HKCU"), HKEY_CURRENT_USER},
    {TEXT("HKLM"), HKEY_LOCAL_MACHINE},
    {TEXT("HKU"), HKEY_USERS},
    {TEXT("HKPD"), HKEY_PERFORMANCE_DATA},
    {TEXT("HKDD"), HKEY_DYN_DATA},
    {TEXT("HKCC"), HKEY_CURRENT_CONFIG},
    {TEXT("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT},
    {TEXT("HKEY_CURRENT_USER"), HKEY_CURRENT_USER},
    {TEXT("HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE},
    {TEXT("HKEY_USERS"), HKEY_USERS},
    {TEXT("HKEY_PERFORMANCE_DATA"), HKEY_PERFORMANCE_DATA},
    {TEXT("HKEY_DYN_DATA"), HKEY_DYN_DATA},
    {TEXT("HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG},
};

// Subtrees that ForceRemove and Delete never delete.
const LPCOLESTR kProtectedKeyNames[] = {
    TEXT("AppID"),    TEXT("CLSID"),     TEXT("Component Categories"),
    TEXT("FileType"), TEXT("Interface"), TEXT("Hardware"),
    TEXT("Mime"),     TEXT("SAM"),       TEXT("SECURITY"),
    TEXT("SYSTEM"),   TEXT("Software"),  TEXT("TypeLib"),
};
constexpr int kProtectedKeyCount = sizeof kProtectedKeyNames / sizeof kProtectedKeyNames[0];

struct TypeLetter {
    LPCOLESTR letter;
    VARTYPE kind;
};
const TypeLetter kTypeLetters[] = {
    {TEXT("S"), VT_BSTR},
    {TEXT("M"), VT_BSTR | VT_BYREF},
    {TEXT("D"), VT_UI4},
    {TEXT("B"), VT_UI1},
};

// Multi-string data of up to this many units, and binary data of up to this many bytes, are
// converted on the stack.
constexpr DWORD kInlineMultiStringUnits = 128;
constexpr DWORD kInlineBinaryBytes = 256;
// Key names are remembered for deletion in this many units; longer ones are cut.
constexpr int kKeyNameCapacity = 260;

bool IsKeyword(LPCOLESTR token, LPCOLESTR keyword) {
    return lstrcmpiW(token, keyword) == 0;
}

bool HasBackslash(LPCOLESTR name) {
    return ScriptParser::FindChar(name, TEXT('\\')) != NULL;
}

// "a\0b" becomes a, zero, b, zero, zero: the double-zero-ended list the registry stores.
LONG WriteMultiString(CRegKey& key, LPCOLESTR szValueName, LPCOLESTR data) {
    int length = lstrlenW(data);
    CTempBuffer<OLECHAR, kInlineMultiStringUnits> buffer;
    LPOLESTR out = buffer.TryAllocate(static_cast<DWORD>(length) + 2);
    if (out == NULL)
        return ERROR_OUTOFMEMORY;
    int used = 0;
    for (LPCOLESTR p = data; *p != 0;) {
        if (p[0] == TEXT('\\') && p[1] == TEXT('0')) {
            out[used++] = 0;
            p += 2;
        } else {
            out[used++] = *p++;
        }
    }
    out[used++] = 0;
    out[used] = 0;
    return key.WriteMultiStringValue(szValueName, out);
}

// Pairs of hex digits, the first of each pair the high nibble.
HRESULT WriteBinary(CRegKey& key, LPCOLESTR szValueName, LPCOLESTR data, LONG* code) {
    int length = lstrlenW(data);
    if (length % 2 != 0) {
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Binary Data does not fall on BYTE boundries\n"));
        return E_FAIL;
    }
    DWORD count = static_cast<DWORD>(length / 2);
    CTempBuffer<BYTE, kInlineBinaryBytes> buffer;
    BYTE* bytes = buffer.TryAllocate(count);
    if (bytes == NULL)
        return E_FAIL;
    for (DWORD i = 0; i < count; ++i)
        bytes[i] = 0;
    for (int i = 0; i < length; ++i)
        bytes[i / 2] |=
            static_cast<BYTE>(ScriptParser::HexDigitValue(data[i]) << (i % 2 == 0 ? 4 : 0));
    *code = RegSetValueExW(key.m_hKey, szValueName, 0, REG_BINARY, bytes, count);
    return S_OK;
}

} // namespace

HKEY ScriptParser::HKeyFromString(LPCOLESTR name) {
    for (const RootName& root : kRootNames)
        if (lstrcmpiW(name, root.name) == 0)
            return root.key;
    return NULL;
}

BOOL ScriptParser::IsRemovableKeyName(LPCOLESTR name) {
    for (LPCOLESTR protectedName : kProtectedKeyNames)
        if (lstrcmpiW(name, protectedName) == 0)
            return FALSE;
    return TRUE;
}

BOOL ScriptParser::ValueTypeFromLetter(LPCOLESTR token, VARTYPE* kind) {
    for (const TypeLetter& type : kTypeLetters) {
        if (lstrcmpiW(token, type.letter) == 0) {
            *kind = type.kind;
            return TRUE;
        }
    }
    *kind = 0;
    return FALSE;
}

BYTE ScriptParser::HexDigitValue(OLECHAR c) {
    if (c >= TEXT('0') && c <= TEXT('9'))
        return static_cast<BYTE>(c - TEXT('0'));
    if (c >= TEXT('A') && c <= TEXT('F'))
        return static_cast<BYTE>(c - TEXT('A') + 10);
    if (c >= TEXT('a') && c <= TEXT('f'))
        return static_cast<BYTE>(c - TEXT('a') + 10);
    FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Bogus value %lc passed as binary Hex value\n"), c);
    return 0;
}

BOOL ScriptParser::KeyHasSubkeys(HKEY hKey) {
    DWORD cSubKeys = 0;
    LONG code = RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &cSubKeys, NULL, NULL, NULL, NULL, NULL,
                                 NULL, NULL);
    if (code != ERROR_SUCCESS) {
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Should not be here!!\n"));
        return FALSE;
    }
    return cSubKeys > 0;
}

HRESULT ScriptParser::ApplyScript(LPCOLESTR text, BOOL bRegister) {
    LPOLESTR expanded = NULL;
    HRESULT hr = ExpandScript(text, &expanded);
    if (FAILED(hr))
        return hr;
    FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("%ls\n"), expanded);
    hr = ApplyScriptText(expanded, bRegister);
    CoTaskMemFree(expanded);
    return hr;
}

HRESULT ScriptParser::ApplyScriptText(LPOLESTR expanded, BOOL bRegister) {
    OLECHAR szToken[kTokenCapacity];
    m_cursor = expanded;
    while (*m_cursor != 0) {
        HRESULT hr = NextToken(szToken);
        if (FAILED(hr))
            return hr;
        HKEY hkRoot = HKeyFromString(szToken);
        if (hkRoot == NULL) {
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("HKeyFromString failed on %ls\n"), szToken);
            return kScriptError;
        }
        hr = NextToken(szToken);
        if (FAILED(hr))
            return hr;
        if (szToken[0] != TEXT('{')) {
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Syntax error, expecting a {, found a %ls\n"),
                            szToken);
            return kScriptError;
        }
        if (bRegister) {
            LPCOLESTR blockStart = m_cursor;
            hr = ApplyKeyBlock(szToken, hkRoot, TRUE, FALSE);
            if (FAILED(hr)) {
                // Only the failed root block is undone; earlier ones stay registered.
                FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Failed to register, cleaning up!\n"));
                m_cursor = blockStart;
                m_bUndoing = true;
                ApplyKeyBlock(szToken, hkRoot, FALSE, FALSE);
                m_bUndoing = false;
                return hr;
            }
        } else {
            hr = ApplyKeyBlock(szToken, hkRoot, FALSE, FALSE);
            if (FAILED(hr))
                return hr;
        }
        SkipBlanks();
    }
    return S_OK;
}

HRESULT ScriptParser::ApplyKeyBlock(LPOLESTR token, HKEY hkParent, BOOL bRegister, BOOL bRecover,
                                    int nDepth) {
    FRAMEWORK_TRACE(traceRegistrar, 2, TEXT("Num Els = %d\n"), kProtectedKeyCount);
    HRESULT hr = NextToken(token);
    if (FAILED(hr))
        return hr;

    CRegKey keyCur;
    while (token[0] != TEXT('}')) {
        // Checked before the entry is touched and alike in both modes, so that a clean-up pass
        // stops where registration did. A value lies one level below its key.
        if (nDepth > kMaxKeyDepth + 1)
            return RefuseNesting();
        BOOL bRemove = TRUE;
        BOOL bDelete = IsKeyword(token, TEXT("Delete"));
        if (bDelete || IsKeyword(token, TEXT("ForceRemove"))) {
            if (nDepth > kMaxKeyDepth)
                return RefuseNesting(); // it names a key
            hr = NextToken(token);
            if (FAILED(hr))
                return hr;
            if (bRegister) {
                if (HasBackslash(token))
                    return kScriptError;
                if (IsRemovableKeyName(token)) {
                    // A missing subtree is no error.
                    CRegKey rkForceRemove;
                    rkForceRemove.AttachHandle(hkParent);
                    rkForceRemove.RecurseDeleteKey(token);
                    rkForceRemove.DetachHandle();
                }
                if (bDelete) {
                    hr = NextToken(token);
                    if (SUCCEEDED(hr))
                        hr = SkipValueAssignment(token);
                    if (SUCCEEDED(hr))
                        hr = SkipOrphanBlock(token, nDepth);
                    if (FAILED(hr))
                        return hr;
                    continue;
                }
            }
        }

        if (IsKeyword(token, TEXT("NoRemove"))) {
            bRemove = FALSE;
            hr = NextToken(token);
            if (FAILED(hr))
                return hr;
        }

        if (IsKeyword(token, TEXT("Val"))) {
            hr = ApplyValueEntry(token, hkParent, bRegister, bRecover, bRemove);
            if (SUCCEEDED(hr) && bRegister)
                hr = SkipOrphanBlock(token, nDepth);
            if (FAILED(hr))
                return hr;
            continue;
        }

        if (nDepth > kMaxKeyDepth)
            return RefuseNesting();
        if (HasBackslash(token))
            return kScriptError;
        hr = bRegister ? RegisterKeyEntry(token, hkParent, keyCur, nDepth)
                       : UnregisterKeyEntry(token, hkParent, bRecover, bRemove, nDepth);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT ScriptParser::RegisterKeyEntry(LPOLESTR token, HKEY hkParent, CRegKey& keyCur, int nDepth) {
    if (keyCur.OpenKey(hkParent, token, KEY_READ | KEY_WRITE) != ERROR_SUCCESS &&
        keyCur.OpenKey(hkParent, token, KEY_READ) != ERROR_SUCCESS) {
        FRAMEWORK_TRACE(traceRegistrar, 2, TEXT("Creating key %ls\n"), token);
        LONG code = keyCur.CreateKey(hkParent, token, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, NULL, NULL);
        if (code != ERROR_SUCCESS)
            return HResultFromWin32(code);
    }
    HRESULT hr = NextToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] == TEXT('=')) {
        hr = WriteValue(keyCur, NULL, token);
        if (FAILED(hr))
            return hr;
    }
    if (lstrcmpW(token, TEXT("{")) != 0)
        return S_OK;
    hr = ApplyKeyBlock(token, keyCur.m_hKey, TRUE, FALSE, nDepth + 1);
    if (FAILED(hr))
        return hr;
    return NextToken(token);
}

HRESULT ScriptParser::UnregisterKeyEntry(LPOLESTR token, HKEY hkParent, BOOL bRecover, BOOL bRemove,
                                         int nDepth) {
    CRegKey keyCur;
    BOOL bRecoverHere = bRecover;
    LONG openCode = ERROR_FILE_NOT_FOUND;
    if (!bRecover)
        openCode = keyCur.OpenKey(hkParent, token, KEY_READ);
    if (openCode != ERROR_SUCCESS)
        bRecoverHere = TRUE;
    if (!bRecoverHere)
        FRAMEWORK_TRACE(traceRegistrar, 1, TEXT("Opened Key %ls\n"), token);
    else
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Ignoring Open key on %ls : In Recovery mode\n"),
                        token);

    OLECHAR szKey[kKeyNameCapacity];
    lstrcpynW(szKey, token, kKeyNameCapacity);
    HRESULT hr = NextToken(token);
    if (SUCCEEDED(hr))
        hr = SkipValueAssignment(token);
    if (FAILED(hr))
        return hr;

    // Too deep a nesting in the block, met by a clean-up pass: returned once this key is done.
    HRESULT hrBelow = S_OK;
    if (lstrcmpW(token, TEXT("{")) == 0) {
        // While recovering, errors in the block are ignored and reading goes on from
        // wherever the block stopped; only too deep a nesting ends the script even then.
        hr = ApplyKeyBlock(token, keyCur.m_hKey, FALSE, bRecoverHere, nDepth + 1);
        if (FAILED(hr) && m_bNestingTooDeep && m_bUndoing) {
            // Registration stopped at the same point: the rest of the text was never
            // applied and stays unread, but what it created above comes off.
            hrBelow = hr;
        } else if (FAILED(hr) && (!bRecoverHere || m_bNestingTooDeep)) {
            return hr;
        } else {
            hr = NextToken(token);
            if (FAILED(hr))
                return hr;
        }
    }

    if (bRecoverHere != bRecover)
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Ending Recovery Mode\n"));
    if (openCode == ERROR_FILE_NOT_FOUND)
        return hrBelow; // an absent key is no error
    if (openCode != ERROR_SUCCESS)
        return HResultFromWin32(openCode);

    BOOL bHasSubkeys = KeyHasSubkeys(keyCur.m_hKey);
    LONG code = keyCur.CloseKey();
    if (code != ERROR_SUCCESS)
        return HResultFromWin32(code);
    // Sub-keys keep a key, values do not.
    if (!bRemove || bHasSubkeys)
        return hrBelow;
    FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Deleting Key %ls\n"), szKey);
    CRegKey rkParent;
    rkParent.AttachHandle(hkParent);
    code = rkParent.RemoveSubKey(szKey);
    rkParent.DetachHandle();
    return code != ERROR_SUCCESS ? HResultFromWin32(code) : hrBelow;
}

HRESULT ScriptParser::RefuseNesting() {
    m_bNestingTooDeep = true;
    return kScriptError;
}

HRESULT ScriptParser::SkipOrphanBlock(LPOLESTR token, int nDepth) {
    if (lstrcmpW(token, TEXT("{")) != 0)
        return S_OK;
    // Read as recovery reads: no key is opened, created or deleted below no key.
    HRESULT hr = ApplyKeyBlock(token, NULL, FALSE, TRUE, nDepth + 1);
    if (FAILED(hr))
        return hr;
    return NextToken(token);
}

HRESULT ScriptParser::ApplyValueEntry(LPOLESTR token, HKEY hkParent, BOOL bRegister, BOOL bRecover,
                                      BOOL bRemove) {
    OLECHAR szValueName[kTokenCapacity];
    HRESULT hr = NextToken(szValueName);
    if (FAILED(hr))
        return hr;
    hr = NextToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] != TEXT('='))
        return kScriptError;

    if (bRegister) {
        CRegKey rk;
        rk.AttachHandle(hkParent);
        hr = WriteValue(rk, szValueName, token);
        rk.DetachHandle();
        return hr;
    }

    if (!bRecover && bRemove) {
        FRAMEWORK_TRACE(traceRegistrar, 1, TEXT("Deleting %ls\n"), szValueName);
        CRegKey rkParent;
        LONG code = rkParent.OpenKey(hkParent, NULL, KEY_WRITE);
        if (code != ERROR_SUCCESS)
            return HResultFromWin32(code);
        code = rkParent.RemoveValue(szValueName);
        if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND)
            return HResultFromWin32(code);
    }
    return SkipValueAssignment(token);
}

HRESULT ScriptParser::WriteValue(CRegKey& key, LPCOLESTR szValueName, LPOLESTR token) {
    OLECHAR szValue[kTokenCapacity];
    HRESULT hr = NextToken(szValue);
    if (FAILED(hr))
        return hr;
    VARTYPE kind = 0;
    if (!ValueTypeFromLetter(szValue, &kind)) {
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("%ls Type not supported\n"), szValue);
        return kScriptError;
    }
    SkipBlanks();
    hr = NextToken(szValue);
    if (FAILED(hr))
        return hr;

    LPCOLESTR traceName = szValueName != NULL ? szValueName : TEXT("default");
    LONG code = ERROR_SUCCESS;
    switch (kind) {
    case VT_BSTR:
        code = key.WriteStringValue(szValueName, szValue, REG_SZ);
        FRAMEWORK_TRACE(traceRegistrar, 2, TEXT("Setting Value %ls at %ls\n"), szValue, traceName);
        break;
    case VT_BSTR | VT_BYREF:
        FRAMEWORK_TRACE(traceRegistrar, 2, TEXT("Setting Value %ls at %ls\n"), szValue, traceName);
        code = WriteMultiString(key, szValueName, szValue);
        break;
    case VT_UI4: {
        ULONG number = 0;
        hr = VarUI4FromStr(szValue, 0, 0, &number);
        if (FAILED(hr))
            return hr;
        code = key.WriteDwordValue(szValueName, number);
        FRAMEWORK_TRACE(traceRegistrar, 2, TEXT("Setting Value %d at %ls\n"),
                        static_cast<int>(number), traceName);
        break;
    }
    default: // VT_UI1
        hr = WriteBinary(key, szValueName, szValue, &code);
        if (FAILED(hr))
            return hr;
        break;
    }
    if (code != ERROR_SUCCESS)
        return HResultFromWin32(code);
    return NextToken(token);
}

HRESULT ScriptParser::SkipValueAssignment(LPOLESTR token) {
    if (token[0] != TEXT('='))
        return S_OK;
    OLECHAR szValue[kTokenCapacity];
    HRESULT hr = NextToken(token);
    if (FAILED(hr))
        return hr;
    SkipBlanks();
    hr = NextToken(szValue);
    if (FAILED(hr))
        return hr;
    return NextToken(token);
}
