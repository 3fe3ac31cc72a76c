// The Windows-semantics formatter: one core over the format's character type.
#include <host/format.h>
#include <host/utf.h>

#include <ntdef.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace host {
namespace {

// A bounded output that keeps counting past its end, so that the caller learns the full length.
template <typename Char>
class Output {
public:
    Output(Char* out, size_t capacity)
        : out_(out), capacity_(out ? capacity : 0), limit_(capacity_ ? capacity_ - 1 : 0)
    {
    }

    void Put(Char c)
    {
        if (length_ < limit_)
            out_[length_] = c;
        length_++;
    }

    void Fill(Char c, size_t count)
    {
        for (size_t i = length_; i < limit_ && i < length_ + count; i++)
            out_[i] = c;
        length_ += count;
    }

    void Append(const Char* text, size_t count)
    {
        if (length_ < limit_)
            memcpy(out_ + length_, text, std::min(count, limit_ - length_) * sizeof(Char));
        length_ += count;
    }

    // Digits, signs and other ASCII the formatter makes itself.
    void Ascii(const char* text, size_t count)
    {
        if constexpr (sizeof(Char) == 1) {
            Append(text, count);
        } else {
            for (size_t i = 0; i < count; i++)
                Put(static_cast<Char>(static_cast<unsigned char>(text[i])));
        }
    }
    void Ascii(std::string_view text) { Ascii(text.data(), text.size()); }

    void Reset() { length_ = 0; }
    size_t Length() const { return length_; }
    void Terminate()
    {
        if (capacity_ > 0)
            out_[std::min(length_, limit_)] = 0;
    }

private:
    Char* out_;
    size_t capacity_;
    size_t limit_; // units that may hold text: the capacity less the terminator
    size_t length_ = 0;
};

enum class Size { None, Char8, Short, Long, Int32, Int64, LongDouble, Wide };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1; // -1: none given
    Size size = Size::None;
};

// Owns a copy of the caller's va_list, so that helpers can take it by reference.
struct Args {
    explicit Args(va_list source) { va_copy(list, source); }
    ~Args() { va_end(list); }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    va_list list;
};

template <typename Char>
bool IsDigit(Char c)
{
    return c >= '0' && c <= '9';
}

// Pads `length` units of content to the field width: spaces, or zeros with the '0' flag (Windows pads
// strings and characters with zeros too).
template <typename Char, typename Body>
void Padded(Output<Char>& out, const Spec& spec, size_t length, Body body)
{
    size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.left)
        out.Fill(spec.zero ? '0' : ' ', pad);
    body();
    if (spec.left)
        out.Fill(' ', pad);
}

template <typename Src>
size_t BoundedLength(const Src* text, int precision)
{
    size_t length = 0;
    while ((precision < 0 || length < static_cast<size_t>(precision)) && text[length] != 0)
        length++;
    return length;
}

// Copies `count` units of `text`, converting between UTF-8 and UTF-16 when the widths differ.
template <typename Char, typename Src>
void WriteText(Output<Char>* out, const Src* text, size_t count, size_t* measured)
{
    if constexpr (sizeof(Char) == sizeof(Src)) {
        if (out)
            out->Append(reinterpret_cast<const Char*>(text), count);
        if (measured)
            *measured = count;
    } else {
        const Src* end = text + count;
        size_t total = 0;
        Char units[4];
        while (text != end) {
            size_t n = utf::Encode(utf::Decode(text, end), units);
            if (out)
                out->Append(units, n);
            total += n;
        }
        if (measured)
            *measured = total;
    }
}

template <typename Char, typename Src>
void EmitText(Output<Char>& out, const Spec& spec, const Src* text, size_t count)
{
    size_t length = 0;
    if (spec.width > 0)
        WriteText<Char, Src>(nullptr, text, count, &length);
    Padded(out, spec, length, [&] { WriteText<Char, Src>(&out, text, count, nullptr); });
}

template <typename Char>
void EmitNull(Output<Char>& out, const Spec& spec)
{
    static const char kNull[] = "(null)";
    EmitText(out, spec, kNull, BoundedLength(kNull, spec.precision));
}

template <typename Char>
void EmitInteger(Output<Char>& out, const Spec& spec, bool isSigned, bool negative, uint64_t magnitude,
                 unsigned base, bool upper)
{
    char digits[24];
    size_t count = 0;
    if (!(magnitude == 0 && spec.precision == 0)) {
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char reversed[24];
        do {
            reversed[count++] = set[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
        for (size_t i = 0; i < count; i++)
            digits[i] = reversed[count - 1 - i];
    }
    bool nonZero = count > 0 && !(count == 1 && digits[0] == '0');

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative)
            prefix[prefixLength++] = '-';
        else if (spec.plus)
            prefix[prefixLength++] = '+';
        else if (spec.space)
            prefix[prefixLength++] = ' ';
    }
    if (spec.alt && base == 16 && nonZero) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }

    size_t zeros = 0;
    if (spec.precision >= 0) {
        if (static_cast<size_t>(spec.precision) > count)
            zeros = spec.precision - count;
    } else if (spec.zero && !spec.left && spec.width > prefixLength + count) {
        zeros = spec.width - prefixLength - count;
    }
    if (spec.alt && base == 8 && zeros == 0 && (count == 0 || digits[0] != '0'))
        zeros = 1;

    Spec field = spec;
    field.zero = false; // zeros are already counted in
    Padded(out, field, prefixLength + zeros + count, [&] {
        out.Ascii(prefix, prefixLength);
        out.Fill('0', zeros);
        out.Ascii(digits, count);
    });
}

int64_t ReadSigned(va_list& args, Size size)
{
    switch (size) {
    case Size::Int64: return va_arg(args, long long);
    case Size::Short: return static_cast<short>(va_arg(args, int));
    case Size::Char8: return static_cast<signed char>(va_arg(args, int));
    default: return va_arg(args, int);
    }
}

uint64_t ReadUnsigned(va_list& args, Size size)
{
    switch (size) {
    case Size::Int64: return va_arg(args, unsigned long long);
    case Size::Short: return static_cast<unsigned short>(va_arg(args, unsigned));
    case Size::Char8: return static_cast<unsigned char>(va_arg(args, unsigned));
    default: return va_arg(args, unsigned);
    }
}

template <typename Char>
void EmitFloat(Output<Char>& out, const Spec& spec, Char conv, va_list& args)
{
    char format[16];
    size_t f = 0;
    format[f++] = '%';
    if (spec.plus)
        format[f++] = '+';
    if (spec.space)
        format[f++] = ' ';
    if (spec.alt)
        format[f++] = '#';
    format[f++] = '.';
    format[f++] = '*';
    if (spec.size == Size::LongDouble)
        format[f++] = 'L';
    format[f++] = static_cast<char>(conv);
    format[f] = 0;
    // %a without a precision prints the exact value; every other conversion defaults to 6 digits.
    int precision = spec.precision >= 0 ? spec.precision : ((conv == 'a' || conv == 'A') ? -1 : 6);

    char stack[256];
    std::string heap;
    char* text = stack;
    auto render = [&](auto value) {
        int needed = snprintf(stack, sizeof(stack), format, precision, value);
        if (needed >= static_cast<int>(sizeof(stack))) {
            heap.resize(needed + 1);
            text = heap.data();
            snprintf(text, needed + 1, format, precision, value);
        }
        return needed;
    };
    int length = spec.size == Size::LongDouble ? render(va_arg(args, long double)) : render(va_arg(args, double));
    if (length < 0)
        length = 0;

    // Zeros go between the sign (and 0x) and the digits, and only for finite values.
    size_t head = 0;
    if (length > 0 && (text[0] == '-' || text[0] == '+' || text[0] == ' '))
        head = 1;
    if ((conv == 'a' || conv == 'A') && length >= static_cast<int>(head + 2) && text[head] == '0')
        head += 2;
    bool finite = length > 0 && IsDigit(text[length - 1]);
    size_t zeros = 0;
    if (spec.zero && !spec.left && finite && spec.width > static_cast<size_t>(length))
        zeros = spec.width - length;
    Spec field = spec;
    field.zero = false;
    Padded(out, field, length + zeros, [&] {
        out.Ascii(text, head);
        out.Fill('0', zeros);
        out.Ascii(text + head, length - head);
    });
}

// %!NAME! after the '%'; returns the position after the closing '!', or null for an unknown name.
template <typename Char>
const Char* EmitWppExtension(Output<Char>& out, const Spec& spec, const Char* p, va_list& args,
                             const FormatOptions& options)
{
    char name[16];
    size_t n = 0;
    for (p++; *p != '!'; p++) {
        if (*p == 0 || n + 1 == sizeof(name))
            return nullptr;
        name[n++] = static_cast<char>(*p);
    }
    std::string_view id(name, n);
    char text[64];
    int length = -1;
    if (id == "FUNC") {
        const char* function = options.function ? options.function : "";
        EmitText(out, spec, function, strlen(function));
    } else if (id == "STATUS" || id == "HRESULT") {
        length = snprintf(text, sizeof(text), "0x%08X", va_arg(args, unsigned));
    } else if (id == "bool") {
        length = snprintf(text, sizeof(text), "%s", va_arg(args, int) ? "true" : "false");
    } else if (id == "BOOLEAN") {
        length = snprintf(text, sizeof(text), "%s", va_arg(args, int) ? "TRUE" : "FALSE");
    } else if (id == "IPADDR") {
        ULONG address = va_arg(args, unsigned);
        auto* b = reinterpret_cast<const UCHAR*>(&address);
        length = snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else if (id == "GUID") {
        const GUID* g = va_arg(args, const GUID*);
        if (g == nullptr)
            EmitNull(out, spec);
        else
            length = snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g->Data1,
                              g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4],
                              g->Data4[5], g->Data4[6], g->Data4[7]);
    } else if (id == "MACADDR") {
        const UCHAR* m = va_arg(args, const UCHAR*);
        if (m == nullptr)
            EmitNull(out, spec);
        else
            length = snprintf(text, sizeof(text), "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    } else {
        return nullptr;
    }
    if (length >= 0)
        EmitText(out, spec, text, static_cast<size_t>(length));
    return p + 1;
}

template <typename Char>
bool Run(Output<Char>& out, const Char* p, va_list& args, const FormatOptions& options)
{
    constexpr bool wideFormat = sizeof(Char) == 2;
    while (*p != 0) {
        if (*p != '%') {
            const Char* start = p;
            while (*p != 0 && *p != '%')
                p++;
            out.Append(start, p - start);
            continue;
        }
        p++;
        Spec spec;
        for (;; p++) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p == '#')
                spec.alt = true;
            else if (*p == '0')
                spec.zero = true;
            else
                break;
        }
        if (*p == '*') {
            long long width = va_arg(args, int);
            if (width < 0) {
                spec.left = true;
                width = -width;
            }
            spec.width = static_cast<size_t>(width);
            p++;
        } else {
            for (; IsDigit(*p); p++) {
                spec.width = spec.width * 10 + (*p - '0');
                if (spec.width > INT_MAX)
                    return false;
            }
        }
        if (*p == '.') {
            p++;
            if (*p == '*') {
                int precision = va_arg(args, int);
                spec.precision = precision < 0 ? -1 : precision;
                p++;
            } else {
                long long precision = 0;
                for (; IsDigit(*p); p++) {
                    precision = precision * 10 + (*p - '0');
                    if (precision > INT_MAX)
                        return false;
                }
                spec.precision = static_cast<int>(precision);
            }
        }
        if (*p == 'h') {
            spec.size = p[1] == 'h' ? Size::Char8 : Size::Short;
            p += p[1] == 'h' ? 2 : 1;
        } else if (*p == 'l') {
            spec.size = p[1] == 'l' ? Size::Int64 : Size::Long;
            p += p[1] == 'l' ? 2 : 1;
        } else if (*p == 'I') {
            spec.size = Size::Int64;
            if (p[1] == '3' && p[2] == '2') {
                spec.size = Size::Int32;
                p += 2;
            } else if (p[1] == '6' && p[2] == '4') {
                p += 2;
            }
            p++;
        } else if (*p == 'z' || *p == 'j' || *p == 't') {
            spec.size = Size::Int64;
            p++;
        } else if (*p == 'L') {
            spec.size = Size::LongDouble;
            p++;
        } else if (*p == 'w') {
            spec.size = Size::Wide;
            p++;
        }

        Char conv = *p;
        if (conv == 0)
            return false;
        p++;
        bool wideArg = spec.size == Size::Long || spec.size == Size::Wide;
        bool narrowArg = spec.size == Size::Short || spec.size == Size::Char8;
        switch (conv) {
        case '%':
            out.Put('%');
            break;
        case '!':
            if (!options.wpp)
                return false;
            p = EmitWppExtension(out, spec, p - 1, args, options);
            if (p == nullptr)
                return false;
            break;
        case 'd':
        case 'i': {
            int64_t value = ReadSigned(args, spec.size);
            uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            EmitInteger(out, spec, true, value < 0, magnitude, 10, false);
            break;
        }
        case 'u':
            EmitInteger(out, spec, false, false, ReadUnsigned(args, spec.size), 10, false);
            break;
        case 'x':
        case 'X':
            EmitInteger(out, spec, false, false, ReadUnsigned(args, spec.size), 16, conv == 'X');
            break;
        case 'o':
            EmitInteger(out, spec, false, false, ReadUnsigned(args, spec.size), 8, false);
            break;
        case 'p': {
            Spec pointer = spec;
            pointer.precision = 2 * sizeof(void*);
            EmitInteger(out, pointer, false, false, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, true);
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(args, int);
            bool wide = wideArg || (!narrowArg && ((conv == 'c') == wideFormat));
            Spec field = spec;
            field.precision = -1;
            if (wide) {
                char16_t unit = static_cast<char16_t>(value);
                EmitText(out, field, &unit, 1);
            } else {
                char unit = static_cast<char>(value);
                EmitText(out, field, &unit, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            const void* text = va_arg(args, const void*);
            bool wide = wideArg || (!narrowArg && ((conv == 's') == wideFormat));
            if (text == nullptr)
                EmitNull(out, spec);
            else if (wide)
                EmitText(out, spec, static_cast<const char16_t*>(text),
                         BoundedLength(static_cast<const char16_t*>(text), spec.precision));
            else
                EmitText(out, spec, static_cast<const char*>(text),
                         BoundedLength(static_cast<const char*>(text), spec.precision));
            break;
        }
        case 'Z': {
            const void* counted = va_arg(args, const void*);
            size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
            if (wideArg) {
                auto* string = static_cast<const UNICODE_STRING*>(counted);
                if (string == nullptr || string->Buffer == nullptr)
                    EmitNull(out, spec);
                else
                    EmitText(out, spec, string->Buffer, std::min<size_t>(string->Length / sizeof(WCHAR), limit));
            } else {
                auto* string = static_cast<const ANSI_STRING*>(counted);
                if (string == nullptr || string->Buffer == nullptr)
                    EmitNull(out, spec);
                else
                    EmitText(out, spec, string->Buffer, std::min<size_t>(string->Length, limit));
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            EmitFloat(out, spec, conv, args);
            break;
        default:
            return false; // %n and anything unknown
        }
    }
    return true;
}

template <typename Char>
size_t Format(Char* out, size_t capacity, const Char* format, va_list args, const FormatOptions& options)
{
    Output<Char> output(out, capacity);
    bool ok = false;
    if (format != nullptr) {
        Args copy(args);
        ok = Run(output, format, copy.list, options);
    }
    if (!ok)
        output.Reset();
    output.Terminate();
    return ok ? output.Length() : kFormatRefused;
}

} // namespace

size_t FormatV(char* out, size_t capacity, const char* format, va_list args, const FormatOptions& options)
{
    return Format(out, capacity, format, args, options);
}

size_t FormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args, const FormatOptions& options)
{
    return Format(out, capacity, format, args, options);
}

} // namespace host
