// UTF-16 <-> UTF-8 conversion with U+FFFD for malformed input.
#include <host/utf.h>

namespace host::utf {

char32_t DecodeUtf16(const char16_t*& p, const char16_t* end)
{
    char32_t c = *p++;
    if (c < 0xD800 || c > 0xDFFF)
        return c;
    if (c >= 0xDC00 || p == end || *p < 0xDC00 || *p > 0xDFFF)
        return kReplacement; // a lone trail, or a lead not followed by a trail
    char32_t trail = *p++;
    return 0x10000 + ((c - 0xD800) << 10) + (trail - 0xDC00);
}

char32_t DecodeUtf8(const char*& p, const char* end)
{
    auto byte = [](char c) { return static_cast<unsigned char>(c); };
    unsigned lead = byte(*p++);
    if (lead < 0x80)
        return lead;
    size_t more;
    char32_t c;
    // The allowed range of the second byte excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        c = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        c = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return kReplacement;
    }
    for (size_t i = 0; i < more; i++) {
        if (p == end)
            return kReplacement;
        unsigned next = byte(*p);
        if (next < low || next > high)
            return kReplacement; // the offending byte starts the next decode
        low = 0x80;
        high = 0xBF;
        c = (c << 6) | (next & 0x3F);
        p++;
    }
    return c;
}

size_t EncodeUtf8(char32_t c, char out[4])
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

size_t EncodeUtf16(char32_t c, char16_t out[2])
{
    if (c < 0x10000) {
        out[0] = static_cast<char16_t>(c);
        return 1;
    }
    c -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (c >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    return 2;
}

namespace {

template <typename To, typename From>
std::basic_string<To> Convert(std::basic_string_view<From> text)
{
    std::basic_string<To> result;
    result.reserve(text.size());
    const From* p = text.data();
    const From* end = p + text.size();
    To units[4];
    while (p != end)
        result.append(units, Encode(Decode(p, end), units));
    return result;
}

} // namespace

std::string ToUtf8(std::u16string_view text) { return Convert<char>(text); }
std::u16string ToUtf16(std::string_view text) { return Convert<char16_t>(text); }

} // namespace host::utf
