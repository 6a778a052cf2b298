// The wide formatter of the C runtime, as the Windows runtime renders it: %s and %c take the
// function's own width (wide), h/l pick narrow/wide, 'l' integers are 32-bit as on Windows.
#include "text/format.h"

#include "base/core.h"

#include <tchar.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace hostwin {

namespace {

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum { Default, Short, Long, LongLong, Size } length = Default;
    bool narrowText = false; // 'h' on s/c
};

void Pad(std::u16string& out, size_t count, char16_t c) {
    out.append(count, c);
}

void EmitField(std::u16string& out, const Spec& spec, const std::u16string& prefix,
               const std::u16string& body, bool numeric) {
    size_t length = prefix.size() + body.size();
    size_t padding = spec.width > 0 && static_cast<size_t>(spec.width) > length
                         ? static_cast<size_t>(spec.width) - length
                         : 0;
    if (spec.left) {
        out += prefix + body;
        Pad(out, padding, u' ');
    } else if (spec.zero && numeric && spec.precision < 0) {
        out += prefix;
        Pad(out, padding, u'0');
        out += body;
    } else {
        Pad(out, padding, u' ');
        out += prefix + body;
    }
}

void FormatInteger(std::u16string& out, const Spec& spec, char conversion,
                   unsigned long long magnitude, bool negative) {
    int base = conversion == 'x' || conversion == 'X' ? 16 : conversion == 'o' ? 8 : 10;
    const char* digits = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string body;
    while (magnitude != 0) {
        body.insert(body.begin(),
                    static_cast<char16_t>(digits[magnitude % static_cast<unsigned>(base)]));
        magnitude /= static_cast<unsigned>(base);
    }
    int minimum = spec.precision < 0 ? 1 : spec.precision;
    if (body.size() < static_cast<size_t>(minimum))
        body.insert(0, static_cast<size_t>(minimum) - body.size(), u'0');
    std::u16string prefix;
    if (negative)
        prefix = u"-";
    else if (spec.plus && (conversion == 'd' || conversion == 'i'))
        prefix = u"+";
    else if (spec.space && (conversion == 'd' || conversion == 'i'))
        prefix = u" ";
    if (spec.alt && body != u"0" && !body.empty()) {
        if (base == 16)
            prefix += conversion == 'X' ? u"0X" : u"0x";
        else if (base == 8 && body[0] != u'0')
            body.insert(body.begin(), u'0');
    }
    EmitField(out, spec, prefix, body, true);
}

// A width or precision in digits, advancing `p` past them; false when it exceeds an int.
bool ReadCount(const WCHAR*& p, int* value) {
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        const int digit = *p - u'0';
        if (*value > (INT_MAX - digit) / 10)
            return false;
        *value = *value * 10 + digit;
    }
    return true;
}

} // namespace

bool FormatWide(std::u16string& out, const WCHAR* format, va_list args) {
    if (format == NULL)
        return false;
    for (const WCHAR* p = format; *p; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-')
                spec.left = true;
            else if (*p == u'+')
                spec.plus = true;
            else if (*p == u' ')
                spec.space = true;
            else if (*p == u'#')
                spec.alt = true;
            else if (*p == u'0')
                spec.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                // The most negative width has no positive counterpart.
                if (spec.width == INT_MIN)
                    return false;
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else if (!ReadCount(p, &spec.width)) {
            return false;
        }
        if (*p == u'.') {
            ++p;
            spec.precision = 0;
            if (*p == u'*') {
                spec.precision = va_arg(args, int);
                if (spec.precision < 0)
                    spec.precision = -1;
                ++p;
            } else if (!ReadCount(p, &spec.precision)) {
                return false;
            }
        }
        if (*p == u'h') {
            spec.length = Spec::Short;
            spec.narrowText = true;
            ++p;
        } else if (*p == u'l' && p[1] == u'l') {
            spec.length = Spec::LongLong;
            p += 2;
        } else if (*p == u'l' || *p == u'w' || *p == u'T') {
            spec.length = Spec::Long;
            ++p;
        } else if (*p == u'I' && p[1] == u'6' && p[2] == u'4') {
            spec.length = Spec::LongLong;
            p += 3;
        } else if (*p == u'I' && p[1] == u'3' && p[2] == u'2') {
            spec.length = Spec::Default;
            p += 3;
        } else if (*p == u'I' || *p == u'z') {
            spec.length = Spec::Size;
            ++p;
        }
        switch (*p) {
        case u'%':
            out += u'%';
            break;
        case u'c':
        case u'C': {
            // %c in a wide function is wide; %hc narrow; %C the opposite width.
            bool narrow = spec.narrowText || (*p == u'C' && spec.length == Spec::Default);
            int value = va_arg(args, int);
            std::u16string body(1, narrow ? static_cast<char16_t>(static_cast<unsigned char>(value))
                                          : static_cast<char16_t>(value));
            EmitField(out, spec, u"", body, false);
            break;
        }
        case u's':
        case u'S': {
            bool narrow = spec.narrowText || (*p == u'S' && spec.length == Spec::Default);
            std::u16string body;
            if (narrow) {
                const char* text = va_arg(args, const char*);
                body = FromUtf8(text ? text : "(null)");
            } else {
                const WCHAR* text = va_arg(args, const WCHAR*);
                body = text ? std::u16string(text) : std::u16string(u"(null)");
            }
            if (spec.precision >= 0 && body.size() > static_cast<size_t>(spec.precision))
                body.resize(static_cast<size_t>(spec.precision));
            EmitField(out, spec, u"", body, false);
            break;
        }
        case u'd':
        case u'i': {
            long long value = spec.length == Spec::LongLong ? va_arg(args, long long)
                              : spec.length == Spec::Size
                                  ? static_cast<long long>(va_arg(args, ptrdiff_t))
                                  : va_arg(args, int);
            if (spec.length == Spec::Short)
                value = static_cast<short>(value);
            unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            FormatInteger(out, spec, 'd', magnitude, value < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            unsigned long long value = spec.length == Spec::LongLong
                                           ? va_arg(args, unsigned long long)
                                       : spec.length == Spec::Size ? va_arg(args, size_t)
                                                                   : va_arg(args, unsigned int);
            if (spec.length == Spec::Short)
                value = static_cast<unsigned short>(value);
            FormatInteger(out, spec, static_cast<char>(*p), value, false);
            break;
        }
        case u'p': {
            Spec pointer = spec;
            pointer.precision = static_cast<int>(2 * sizeof(void*));
            FormatInteger(out, pointer, 'X', reinterpret_cast<uintptr_t>(va_arg(args, void*)),
                          false);
            break;
        }
        default:
            return false; // floating point, %n and unknown conversions are not supported
        }
    }
    return true;
}

} // namespace hostwin

using hostwin::FormatWide;

extern "C" {

int __cdecl _vscwprintf(const WCHAR* format, va_list argptr) {
    std::u16string out;
    if (!FormatWide(out, format, argptr)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(out.size());
}

int __cdecl _scwprintf(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vscwprintf(format, args);
    va_end(args);
    return result;
}

int __cdecl _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                          va_list argptr) {
    std::u16string out;
    if (buffer == NULL || sizeOfBuffer == 0) {
        errno = EINVAL;
        return -1;
    }
    if (!FormatWide(out, format, argptr)) {
        buffer[0] = 0;
        errno = EINVAL;
        return -1;
    }
    if (count == _TRUNCATE) {
        size_t fits = out.size() < sizeOfBuffer ? out.size() : sizeOfBuffer - 1;
        std::memcpy(buffer, out.data(), fits * sizeof(WCHAR));
        buffer[fits] = 0;
        return fits == out.size() ? static_cast<int>(fits) : -1;
    }
    size_t take = out.size() < count ? out.size() : count;
    if (take + 1 > sizeOfBuffer) {
        // The runtime treats this as an invalid parameter: the buffer is emptied.
        buffer[0] = 0;
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buffer, out.data(), take * sizeof(WCHAR));
    buffer[take] = 0;
    return take == out.size() ? static_cast<int>(take) : -1;
}

int __cdecl _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                         ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, args);
    va_end(args);
    return result;
}

int __cdecl swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = sizeOfBuffer == 0
                     ? -1
                     : _vsnwprintf_s(buffer, sizeOfBuffer, sizeOfBuffer - 1, format, args);
    va_end(args);
    if (result < 0 && buffer != NULL && sizeOfBuffer > 0)
        buffer[0] = 0; // output that does not fit is an error here, not a truncation
    return result;
}

int __cdecl _putws(const WCHAR* str) {
    if (str == NULL) {
        errno = EINVAL;
        return -1;
    }
    std::string line = hostwin::ToUtf8(str) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
        return -1;
    std::fflush(stdout);
    return 0;
}

} // extern "C"
