// Message tables (RT_MESSAGETABLE resources) read from untrusted bytes, and the inserts and
// escapes FormatMessageW applies to a message text. Pure: no module, no last error.
//
// Layout: a DWORD count of blocks, then per block its lowest and highest message id and the
// offset (from the table's start) of its first entry; the entries of a block follow one
// another, one per id, each a WORD length (header included), a WORD of flags (0 ANSI,
// 1 UTF-16LE, 2 UTF-8) and the NUL-ended text.
#pragma once

#include <windows.h>

#include <string>

namespace hostwin {

// The text of message `id`, up to its NUL: ERROR_SUCCESS; ERROR_MR_MID_NOT_FOUND when no
// block holds the id; ERROR_BAD_FORMAT when the table, or the walk to the entry, or the entry
// itself lies outside `size` or is malformed; ERROR_NO_UNICODE_TRANSLATION for an 8-bit text
// that is not UTF-8 (the host's ANSI code page). Only the bytes on the way are read.
DWORD FindMessageText(const BYTE* data, size_t size, DWORD id, std::u16string* text);

// `text` with its escapes applied (%0 ends it, %n is CR LF, %r CR, %t a tab, % followed by
// any other character is that character) and its inserts %1..%99, each with an optional
// printf specification between exclamation marks (!s! by default: a wide string), taken from
// `arguments` (the FORMAT_MESSAGE_ARGUMENT_ARRAY form). With `ignoreInserts` the inserts stay
// as written. ERROR_INVALID_PARAMETER for an insert without arguments or with a specification
// that is not closed or not supported.
DWORD ApplyMessageInserts(const std::u16string& text, bool ignoreInserts,
                          const DWORD_PTR* arguments, std::u16string* out);

} // namespace hostwin
