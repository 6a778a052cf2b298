// The text layer of the registry-script parser: expansion into a new text, then tokens.
#include "registrar.h"

#include "errors.h"
#include "trace.h"

#include <tchar.h>

#include <climits>
#include <cstring>

namespace {

// What a top-level "HKCR" becomes with per-user registration: the current user's
// Software\Classes, whose blocks close in front of the brace that closes the root.
const OLECHAR kPerUserRootOpening[] = TEXT("HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses");
const OLECHAR kPerUserRootClosing[] = TEXT("\r\n\t}\r\n}\r\n");

// Checked capacity × unit size; false when it does not fit in 32 bits.
bool TextBytes(int capacity, DWORD* bytes) {
    return capacity >= 0 &&
           SUCCEEDED(MultiplySizes(static_cast<DWORD>(capacity), sizeof(OLECHAR), bytes));
}

// Compared at the cursor itself, so that rewriting stays linear in the length of the script.
bool StartsWithClassesRoot(LPCOLESTR text) {
    return text[0] == TEXT('H') && text[1] == TEXT('K') && text[2] == TEXT('C') &&
           text[3] == TEXT('R');
}

} // namespace

ExpansionBuffer::ExpansionBuffer(int requestedCapacity) {
    m_capacity = requestedCapacity < 100 ? 1000 : requestedCapacity;
    DWORD bytes = 0;
    if (TextBytes(m_capacity, &bytes))
        m_text = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (m_text != NULL)
        m_text[0] = 0;
}

ExpansionBuffer::~ExpansionBuffer() {
    CoTaskMemFree(m_text);
}

BOOL ExpansionBuffer::AppendChars(LPCOLESTR chars, int count) {
    if (m_text == NULL || count < 0)
        return FALSE;
    long long needed = static_cast<long long>(m_length) + count + 1;
    if (needed > INT_MAX)
        return FALSE;
    if (needed >= m_capacity) {
        int capacity = m_capacity;
        while (needed >= capacity) {
            if (capacity > 0x3FFFFFFF)
                return FALSE;
            capacity *= 2;
        }
        DWORD bytes = 0;
        if (!TextBytes(capacity, &bytes))
            return FALSE;
        auto* grown = static_cast<LPOLESTR>(CoTaskMemRealloc(m_text, bytes));
        if (grown == NULL)
            return FALSE;
        m_text = grown;
        m_capacity = capacity;
    }
    std::memcpy(m_text + m_length, chars, static_cast<size_t>(count) * sizeof(OLECHAR));
    m_length += count;
    m_text[m_length] = 0;
    return TRUE;
}

BOOL ExpansionBuffer::AppendString(LPCOLESTR text) {
    if (text == NULL)
        return FALSE;
    return AppendChars(text, lstrlenW(text));
}

LPOLESTR ExpansionBuffer::TakeText() {
    LPOLESTR text = m_text;
    m_text = NULL;
    m_length = 0;
    m_capacity = 0;
    return text;
}

HRESULT ScriptParser::ExpandScript(LPCOLESTR text, LPOLESTR* expanded) {
    if (text == NULL || expanded == NULL)
        return E_POINTER;
    *expanded = NULL;
    int length = lstrlenW(text);
    if (length > INT_MAX / 2)
        return E_OUTOFMEMORY;
    ExpansionBuffer buffer(2 * length);
    if (buffer.m_text == NULL)
        return E_OUTOFMEMORY;
    m_cursor = text;
    bool bPerUser = false;
    HRESULT hr = GetPerUserRegistration(&bPerUser);
    if (FAILED(hr))
        return hr;

    int nNesting = 0;
    bool bRedirectPending = false;
    bool bInQuotes = false;
    while (*m_cursor != 0) {
        if (bPerUser) {
            if (nNesting == 0 && StartsWithClassesRoot(m_cursor)) {
                m_cursor += 4; // by units: a mark after the R must not go with it
                if (!buffer.AppendString(kPerUserRootOpening))
                    return E_OUTOFMEMORY;
                bRedirectPending = true;
                if (*m_cursor == 0)
                    break;
            }
            if (*m_cursor == TEXT('\'')) {
                if (!bInQuotes) {
                    bInQuotes = true;
                } else if (IsClosingQuote()) {
                    bInQuotes = false;
                } else {
                    // The first of a doubled pair: both reach the output, quoting goes on.
                    if (!buffer.AppendChars(m_cursor, 1))
                        return E_OUTOFMEMORY;
                    ++m_cursor;
                }
            }
            if (!bInQuotes && *m_cursor == TEXT('{'))
                ++nNesting;
            if (!bInQuotes && *m_cursor == TEXT('}')) {
                --nNesting;
                if (nNesting == 0 && bRedirectPending) {
                    if (!buffer.AppendString(kPerUserRootClosing))
                        return E_OUTOFMEMORY;
                    bRedirectPending = false;
                }
            }
        }

        if (*m_cursor != TEXT('%')) {
            // The whole character, combining marks included, so that none is lost.
            LPCOLESTR next = CharNextW(m_cursor);
            if (!buffer.AppendChars(m_cursor, static_cast<int>(next - m_cursor)))
                return E_OUTOFMEMORY;
            m_cursor = next;
            continue;
        }
        // Past a percent sign by one unit only, so that marks after it are kept as text.
        ++m_cursor;
        if (*m_cursor == TEXT('%')) {
            if (!buffer.AppendChars(m_cursor, 1))
                return E_OUTOFMEMORY;
            ++m_cursor;
            continue;
        }
        LPCOLESTR closing = FindChar(m_cursor, TEXT('%'));
        if (closing == NULL) {
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Error no closing %% found\n"));
            return kScriptError;
        }
        size_t nameLength = static_cast<size_t>(closing - m_cursor);
        if (nameLength > kMaxReplacementName)
            return E_FAIL;
        OLECHAR szName[kMaxReplacementName + 1];
        if (wcsncpy_s(szName, kMaxReplacementName + 1, m_cursor, nameLength) != 0)
            return E_FAIL;
        LPCOLESTR value = m_registrar->LookupReplacement(szName);
        if (value == NULL)
            return kScriptError;
        if (!buffer.AppendString(value))
            return E_OUTOFMEMORY;
        m_cursor = closing + 1;
    }
    *expanded = buffer.TakeText();
    return S_OK;
}

BOOL ScriptParser::IsBlank(OLECHAR c) {
    return c == TEXT('\t') || c == TEXT('\n') || c == TEXT('\r') || c == TEXT(' ');
}

void ScriptParser::SkipBlanks() {
    while (IsBlank(*m_cursor))
        m_cursor = CharNextW(m_cursor);
}

BOOL ScriptParser::IsClosingQuote() const {
    return m_cursor[0] == TEXT('\'') && m_cursor[1] != TEXT('\'');
}

LPCOLESTR ScriptParser::FindChar(LPCOLESTR text, OLECHAR c) {
    if (text == NULL)
        return NULL;
    for (; *text != 0; text = CharNextW(text))
        if (*text == c)
            return text;
    return NULL;
}

HRESULT ScriptParser::NextToken(LPOLESTR token) {
    SkipBlanks();
    if (*m_cursor == 0)
        return kScriptError;
    int nUsed = 0;
    // Copies the character at the cursor, refusing one that would leave no room for the
    // terminator and one spare unit.
    auto copyChar = [&]() {
        LPCOLESTR next = CharNextW(m_cursor);
        int units = static_cast<int>(next - m_cursor);
        if (nUsed + units + 1 >= kTokenCapacity)
            return false;
        std::memcpy(token + nUsed, m_cursor, static_cast<size_t>(units) * sizeof(OLECHAR));
        nUsed += units;
        m_cursor = next;
        return true;
    };

    if (*m_cursor == TEXT('\'')) {
        ++m_cursor;
        while (*m_cursor != 0 && !IsClosingQuote()) {
            if (*m_cursor == TEXT('\''))
                ++m_cursor;
            if (!copyChar())
                return kScriptError;
        }
        if (*m_cursor == 0) {
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("NextToken : Unexpected End of File\n"));
            return kScriptError;
        }
        token[nUsed] = 0;
        ++m_cursor;
        return S_OK;
    }

    while (*m_cursor != 0 && !IsBlank(*m_cursor))
        if (!copyChar())
            return kScriptError;
    token[nUsed] = 0;
    return S_OK;
}
