// Code page 1252, the ANSI code page of the emulated host, for the A functions' paths and names.
#include <host/ansi.h>

#include <host/utf.h>

namespace host
{
namespace
{

// 0x80..0x9F; the five bytes that 1252 leaves undefined map to the C1 control of the same value, as
// Windows maps them.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char ToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (size_t i = 0; i < 32; i++)
        if (kHigh[i] == c)
            return static_cast<char>(0x80 + i);
    return '?';
}

} // namespace

std::u16string AnsiToUtf16(std::string_view text)
{
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        wide += byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
    }
    return wide;
}

std::string Utf16ToAnsi(std::u16string_view text)
{
    std::string ansi;
    ansi.reserve(text.size());
    const char16_t* p = text.data();
    const char16_t* end = p + text.size();
    while (p < end) {
        const char16_t* start = p;
        char32_t c = utf::DecodeUtf16(p, end);
        ansi += p - start == 1 && c != utf::kReplacement ? ToAnsi(static_cast<char16_t>(c)) : '?';
    }
    return ansi;
}

} // namespace host
