// libFuzzer target: the wide formatter on format strings built from the conversions it
// supports, each called with arguments of exactly the types its conversion reads, so that
// nothing undefined comes from this side of the call.
//
// Every format goes through the counting, truncating, bounded and secure entry points; their
// results must agree with each other and with their contracts, buffers are allocated to their
// exact capacity (AddressSanitizer sees any write past it), and the whole format must render
// as its pieces rendered one by one, which checks that each conversion takes exactly its own
// arguments. A width or precision beyond the range of int must be refused everywhere.
#include <fuzzer/FuzzedDataProvider.h>

#include <windows.h>
#include <tchar.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// The type an argument is passed as, matching what its conversion reads.
enum class Kind { Int, Unsigned, LongLong, UnsignedLongLong, PtrDiff, Size, Pointer, Wide, Narrow };

struct Argument {
    Kind kind = Kind::Int;
    unsigned long long bits = 0; // integer and pointer values
    bool null = false;           // a null string
    std::u16string wide;
    std::string narrow;
};

// Arguments one call may take; each more multiplies the instantiations of Call by nine.
constexpr size_t kMaxArguments = 3;

struct Piece {
    std::u16string format;
    std::vector<Argument> arguments;
    bool refused = false; // a width or precision no int can hold
};

void Fail(const char* what) {
    std::fprintf(stderr, "format_fuzz: %s\n", what);
    std::abort();
}

// Capacities and counts chosen by the input for the bounded calls.
struct Bounds {
    size_t capacity = 1;
    size_t count = 0;
};

// The four entry points on one format and argument list. Returns the full output, or checks
// that every entry point refused the format.
template <class... A>
void Check(const std::u16string& format, bool refused, const Bounds& bounds, std::u16string* output,
           A... args) {
    const WCHAR* f = format.c_str();
    const int counted = _scwprintf(f, args...);
    const size_t capacity = bounds.capacity;
    auto buffer = std::make_unique<WCHAR[]>(capacity);
    if (refused) {
        if (counted != -1)
            Fail("a width or precision beyond int was accepted by _scwprintf");
        buffer[0] = u'x';
        if (_snwprintf_s(buffer.get(), capacity, _TRUNCATE, f, args...) != -1 || buffer[0] != 0)
            Fail("a refused format did not empty the truncating buffer");
        buffer[0] = u'x';
        if (swprintf_s(buffer.get(), capacity, f, args...) != -1 || buffer[0] != 0)
            Fail("a refused format did not empty the swprintf_s buffer");
        return;
    }
    if (counted < 0)
        Fail("_scwprintf refused a supported format");
    const size_t length = static_cast<size_t>(counted);

    // Exactly the room the count asks for: the whole output, terminated.
    auto exact = std::make_unique<WCHAR[]>(length + 1);
    if (_snwprintf_s(exact.get(), length + 1, _TRUNCATE, f, args...) != counted)
        Fail("the counted length and the length written differ");
    if (exact[length] != 0)
        Fail("the output is not terminated where the count says");
    *output = std::u16string(exact.get(), length);

    // Truncation to the input's capacity: a terminated prefix, -1 when something was cut.
    int written = _snwprintf_s(buffer.get(), capacity, _TRUNCATE, f, args...);
    const size_t kept = length < capacity ? length : capacity - 1;
    if (written != (kept == length ? counted : -1) ||
        std::u16string(buffer.get(), kept) != output->substr(0, kept) || buffer[kept] != 0)
        Fail("truncation differs from a prefix of the output");

    // An explicit count: at most `count` units, and the buffer emptied when even that
    // does not fit.
    written = _snwprintf_s(buffer.get(), capacity, bounds.count, f, args...);
    const size_t taken = length < bounds.count ? length : bounds.count;
    if (taken + 1 > capacity) {
        if (written != -1 || buffer[0] != 0)
            Fail("a count beyond the buffer did not empty it");
    } else if (written != (taken == length ? counted : -1) ||
               std::u16string(buffer.get(), taken) != output->substr(0, taken) ||
               buffer[taken] != 0) {
        Fail("a counted write differs from a prefix of the output");
    }

    // swprintf_s writes everything or nothing.
    written = swprintf_s(buffer.get(), capacity, f, args...);
    if (length < capacity ? written != counted || std::u16string(buffer.get()) !=
                                                      output->substr(0, output->find(u'\0'))
                          : written != -1 || buffer[0] != 0)
        Fail("swprintf_s neither wrote the whole output nor refused");
}

// Passes the piece's arguments one by one with their own types, then checks.
template <class... A>
void Call(const Piece& piece, const Bounds& bounds, std::u16string* output, A... args) {
    constexpr size_t index = sizeof...(A);
    if (index == piece.arguments.size()) {
        Check(piece.format, piece.refused, bounds, output, args...);
        return;
    }
    if constexpr (index < kMaxArguments) {
        const Argument& a = piece.arguments[index];
        switch (a.kind) {
        case Kind::Int:
            return Call(piece, bounds, output, args..., static_cast<int>(a.bits));
        case Kind::Unsigned:
            return Call(piece, bounds, output, args..., static_cast<unsigned>(a.bits));
        case Kind::LongLong:
            return Call(piece, bounds, output, args..., static_cast<long long>(a.bits));
        case Kind::UnsignedLongLong:
            return Call(piece, bounds, output, args..., a.bits);
        case Kind::PtrDiff:
            return Call(piece, bounds, output, args..., static_cast<ptrdiff_t>(a.bits));
        case Kind::Size:
            return Call(piece, bounds, output, args..., static_cast<size_t>(a.bits));
        case Kind::Pointer:
            return Call(piece, bounds, output, args...,
                        reinterpret_cast<void*>(static_cast<uintptr_t>(a.bits)));
        case Kind::Wide:
            return Call(piece, bounds, output, args..., a.null ? nullptr : a.wide.c_str());
        case Kind::Narrow:
            return Call(piece, bounds, output, args..., a.null ? nullptr : a.narrow.c_str());
        }
    }
    Fail("more arguments than a call can take");
}

// Text without '%' or a terminator; any other unit, lone surrogates included.
std::u16string Text(FuzzedDataProvider& input, size_t maximum) {
    std::u16string text(input.ConsumeIntegralInRange<size_t>(0, maximum), u'\0');
    for (char16_t& c : text) {
        c = input.ConsumeIntegral<char16_t>();
        if (c == 0 || c == u'%')
            c = u'.';
    }
    return text;
}

// A width or precision written in digits: usually small, sometimes past INT_MAX.
std::u16string Digits(FuzzedDataProvider& input, bool* refused) {
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
        *refused = true;
        return u"2147483648" + std::u16string(input.ConsumeIntegralInRange(0, 3), u'9');
    }
    std::string digits = std::to_string(input.ConsumeIntegralInRange(0, 300));
    return std::u16string(digits.begin(), digits.end());
}

// A '*' argument: usually small, sometimes the extreme values of int.
Argument StarArgument(FuzzedDataProvider& input) {
    Argument a;
    a.kind = Kind::Int;
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0:
        a.bits = static_cast<unsigned long long>(INT_MIN);
        break;
    default:
        a.bits = static_cast<unsigned long long>(input.ConsumeIntegralInRange(-300, 300));
    }
    return a;
}

// One conversion with its flags, width, precision and length, and its arguments.
Piece Conversion(FuzzedDataProvider& input) {
    Piece piece;
    piece.format = u"%";
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    for (int bit = 0; bit < 5; ++bit)
        if (flags & (1 << bit))
            piece.format += u"-+ #0"[bit];

    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 1:
        piece.format += Digits(input, &piece.refused);
        break;
    case 2: {
        piece.format += u'*';
        Argument width = StarArgument(input);
        // The width's magnitude must fit an int: the most negative cannot be left-justified.
        piece.refused |= static_cast<int>(width.bits) == INT_MIN;
        piece.arguments.push_back(width);
        break;
    }
    }
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 1:
        piece.format += u'.';
        break;
    case 2:
        piece.format += u'.' + Digits(input, &piece.refused);
        break;
    case 3:
        piece.format += u".*"; // a negative precision counts as none, INT_MIN included
        piece.arguments.push_back(StarArgument(input));
        break;
    }

    static const char16_t kConversions[] = u"diuxXocCsSp";
    const char16_t conversion = kConversions[input.ConsumeIntegralInRange<size_t>(0, 10)];
    Argument value;
    value.bits = input.ConsumeIntegral<unsigned long long>();
    const bool isSigned = conversion == u'd' || conversion == u'i';
    if (conversion == u'p') {
        value.kind = Kind::Pointer;
    } else if (conversion == u'c' || conversion == u'C' || conversion == u's' ||
               conversion == u'S') {
        static const char16_t* const kTextLengths[] = {u"", u"h", u"l", u"w"};
        const char16_t* length = kTextLengths[input.ConsumeIntegralInRange(0, 3)];
        piece.format += length;
        // Narrow: 'h', or the capital conversion without a length; wide otherwise.
        const bool narrow =
            length[0] == u'h' || (length[0] == 0 && (conversion == u'C' || conversion == u'S'));
        if (conversion == u'c' || conversion == u'C') {
            value.kind = Kind::Int;
            value.bits = narrow ? value.bits & 0xFF : value.bits & 0xFFFF;
        } else if (narrow) {
            value.kind = Kind::Narrow;
            value.null = input.ConsumeIntegralInRange(0, 15) == 0;
            // Any bytes: the formatter must decode invalid UTF-8 as well.
            value.narrow = input.ConsumeRandomLengthString(24);
            value.narrow = value.narrow.substr(0, value.narrow.find('\0'));
        } else {
            value.kind = Kind::Wide;
            value.null = input.ConsumeIntegralInRange(0, 15) == 0;
            value.wide = Text(input, 24);
        }
    } else {
        // The integer lengths and the type each reads: int, 64 bits, or the size of a pointer.
        static const char16_t* const kIntegerLengths[] = {u"",   u"h",   u"l", u"I32",
                                                          u"ll", u"I64", u"I", u"z"};
        const size_t choice = input.ConsumeIntegralInRange<size_t>(0, 7);
        piece.format += kIntegerLengths[choice];
        if (choice < 4)
            value.kind = isSigned ? Kind::Int : Kind::Unsigned;
        else if (choice < 6)
            value.kind = isSigned ? Kind::LongLong : Kind::UnsignedLongLong;
        else
            value.kind = isSigned ? Kind::PtrDiff : Kind::Size;
    }
    piece.format += conversion;
    piece.arguments.push_back(value);
    return piece;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Bounds bounds;
    bounds.capacity = input.ConsumeIntegralInRange<size_t>(1, 64);
    bounds.count = input.ConsumeIntegralInRange<size_t>(0, 72);

    std::vector<Piece> pieces;
    size_t arguments = 0;
    while (pieces.size() < 8 && input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            pieces.push_back(Piece{Text(input, 8), {}, false});
            break;
        case 1:
            pieces.push_back(Piece{u"%%", {}, false});
            break;
        default: {
            Piece piece = Conversion(input);
            if (arguments + piece.arguments.size() > kMaxArguments)
                break;
            arguments += piece.arguments.size();
            pieces.push_back(std::move(piece));
        }
        }
    }

    Piece whole;
    std::u16string expected;
    for (const Piece& piece : pieces) {
        std::u16string output;
        Call(piece, bounds, &output);
        expected += output;
        whole.format += piece.format;
        whole.refused |= piece.refused;
        whole.arguments.insert(whole.arguments.end(), piece.arguments.begin(),
                               piece.arguments.end());
    }
    std::u16string output;
    Call(whole, bounds, &output);
    if (!whole.refused && output != expected)
        Fail("the whole format renders differently from its pieces one by one");
    return 0;
}
