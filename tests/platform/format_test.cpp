// The Windows-semantics formatter: conversions, sizes, string widths, bounds and the WPP extensions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <string>

#include <host/format.h>
#include <host/utf.h>
#include <ntdef.h>

namespace {

struct Narrow {
    std::string format;
    std::string text;
};

Narrow FormatWith(const host::FormatOptions& options, const char* format, va_list args)
{
    char buffer[256];
    size_t length = host::FormatV(buffer, sizeof(buffer), format, args, options);
    if (length == host::kFormatRefused)
        return {format, "<refused>"};
    EXPECT_EQ(strlen(buffer), length) << format;
    return {format, buffer};
}

Narrow N(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Narrow result = FormatWith({}, format, args);
    va_end(args);
    return result;
}

Narrow Wpp(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Narrow result = FormatWith({.wpp = true, .function = "PortOpen"}, format, args);
    va_end(args);
    return result;
}

std::u16string W(const char16_t* format, ...)
{
    char16_t buffer[128];
    va_list args;
    va_start(args, format);
    size_t length = host::FormatV(buffer, RTL_NUMBER_OF(buffer), format, args);
    va_end(args);
    if (length == host::kFormatRefused)
        return u"<refused>";
    return std::u16string(buffer, length);
}

struct NarrowCase {
    Narrow actual;
    const char* expected;
};

TEST(Format, NarrowConversionsFollowWindowsRules)
{
    char ansiText[] = "abcdef";
    ANSI_STRING ansi = {3, sizeof(ansiText), ansiText};
    WCHAR wideText[] = u"xyz";
    UNICODE_STRING unicode = {4, sizeof(wideText), wideText};
    UNICODE_STRING noBuffer = {4, 4, nullptr};
    const NarrowCase cases[] = {
        // integers, flags, width and precision
        {N("%d|%i", -5, 12), "-5|12"},
        {N("%5d|%-5d|%05d", 42, 42, -42), "   42|42   |-0042"},
        {N("%+d|% d|%+u", 7, 7, 7u), "+7| 7|7"},
        {N("%.3d|%.0d|%8.3d|%08.3d", 7, 0, 7, 7), "007||     007|     007"},
        {N("%x|%X|%#x|%#X|%#x", 255u, 255u, 255u, 255u, 0u), "ff|FF|0xff|0XFF|0"},
        {N("%o|%#o|%#.0o", 8u, 8u, 0u), "10|010|0"},
        {N("%u", -1), "4294967295"},
        {N("%*d|%*d|%.*d|%.*d", 5, 42, -5, 42, 3, 7, -1, 7), "   42|42   |007|7"},
        // size prefixes: l is 32 bits; I, I64, ll, z, j, t are 64; I32 is 32; h and hh narrow the value
        {N("%ld|%lx", 0xFFFFFFFFu, 0x12345678u), "-1|12345678"},
        {N("%I32d|%I32u", 0xFFFFFFFFu, 0xFFFFFFFFu), "-1|4294967295"},
        {N("%I64d|%lld", INT64_MIN, -3LL), "-9223372036854775808|-3"},
        {N("%I64u|%I64X", UINT64_MAX, 0xABCDEF0123ULL), "18446744073709551615|ABCDEF0123"},
        {N("%Ix|%zu|%jd|%td", size_t(1) << 40, size_t(1) << 33, intmax_t(-2), ptrdiff_t(-3)),
         "10000000000|8589934592|-2|-3"},
        {N("%hd|%hu|%hhd|%hhx", 65535, 65537, 255, 0x1ff), "-1|1|-1|ff"},
        // pointers: 16 upper-case digits
        {N("%p|%p", reinterpret_cast<void*>(0xab12), nullptr), "000000000000AB12|0000000000000000"},
        {N("%20p|", reinterpret_cast<void*>(1)), "    0000000000000001|"},
        {N("100%%"), "100%"},
        // characters and strings; Windows pads them with zeros under the 0 flag
        {N("%c|%3c|%-3c|", 'A', 'B', 'C'), "A|  B|C  |"},
        {N("%C|%lc|%wc|%hc", 0xE9, 0x20AC, 0x20AC, 'n'), "\xC3\xA9|\xE2\x82\xAC|\xE2\x82\xAC|n"},
        {N("%s|%5s|%-5s|%.2s|%05s", "abc", "abc", "abc", "abc", "ab"), "abc|  abc|abc  |ab|000ab"},
        {N("%s|%.3s|%S|%wZ|%Z", nullptr, nullptr, nullptr, nullptr, nullptr), "(null)|(nu|(null)|(null)|(null)"},
        {N("%S|%ls|%ws|%hs|%hS", u"wide", u"wide", u"wide", "narrow", "narrow"), "wide|wide|wide|narrow|narrow"},
        // wide text becomes UTF-8; width counts output bytes, precision source units
        {N("%S|%5S|%.1S", u"\U0001F600", u"\u00E9", u"ab"), "\xF0\x9F\x98\x80|   \xC3\xA9|a"},
        {N("%S|%S", u"\xD800x", u"y\xDC00"), "\xEF\xBF\xBDx|y\xEF\xBF\xBD"},
        // counted strings are not terminated
        {N("%Z|%wZ|%.1wZ|%wZ", &ansi, &unicode, &unicode, &noBuffer), "abc|xy|x|(null)"},
        // floating point
        {N("%f|%.2f|%08.2f|%-8.2f|", 1.5, 3.14159, -3.14159, 2.5), "1.500000|3.14|-0003.14|2.50    |"},
        {N("%+e|%E|%g|%G", 12345.678, 0.5, 0.0001, 1e-10), "+1.234568e+04|5.000000E-01|0.0001|1E-10"},
        {N("%Lf|%05f|%+.1f", 2.5L, HUGE_VAL, 0.25), "2.500000|  inf|+0.2"},
        {N("%a|%010.1a", 1.0, 1.0), "0x1p+0|0x001.0p+0"},
        // refused: %n, unknown conversions, a dangling %, WPP extensions outside a trace
        {N("%n", nullptr), "<refused>"},
        {N("%y", 1), "<refused>"},
        {N("abc%"), "<refused>"},
        {N("%-5"), "<refused>"},
        {N("%!FUNC!"), "<refused>"},
        {N("%99999999999d", 1), "<refused>"},
    };
    for (const NarrowCase& c : cases)
        EXPECT_EQ(c.expected, c.actual.text) << "format: " << c.actual.format;
}

TEST(Format, WideFormatsSwapTheStringWidths)
{
    WCHAR wideText[] = u"counted";
    UNICODE_STRING unicode = {6, sizeof(wideText), wideText};
    EXPECT_EQ(u"wide|narrow|n|w", W(u"%s|%S|%hs|%ls", u"wide", "narrow", "n", u"w"));
    EXPECT_EQ(u"\u20AC|A|cou", W(u"%c|%C|%wZ", u'\u20AC', 'A', &unicode));
    EXPECT_EQ(u"   42|0000000000000010|(null)", W(u"%5d|%p|%s", 42, reinterpret_cast<void*>(16), nullptr));
    // narrow text is read as UTF-8; each maximal ill-formed subsequence becomes one U+FFFD
    EXPECT_EQ(u"\u00E9|\uFFFDa|\uFFFD|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD",
              W(u"%S|%S|%S|%S|%S", "\xC3\xA9", "\xFF" "a", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80"));
    EXPECT_EQ(u"<refused>", W(u"%n", nullptr));
}

TEST(Format, BoundedOutputIsTruncatedTerminatedAndMeasured)
{
    auto format = [](char* out, size_t capacity, const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        size_t length = host::FormatV(out, capacity, fmt, args);
        va_end(args);
        return length;
    };
    char small[5];
    EXPECT_EQ(8u, format(small, sizeof(small), "%s", "abcdefgh"));
    EXPECT_STREQ("abcd", small);
    EXPECT_EQ(10u, format(small, sizeof(small), "%10d", 1)); // padding past the end is only counted
    EXPECT_STREQ("    ", small);
    EXPECT_EQ(8u, format(small, 1, "%s", "abcdefgh"));
    EXPECT_STREQ("", small);
    EXPECT_EQ(2000000000u, format(nullptr, 0, "%2000000000d", 1)); // a probe writes nothing
    EXPECT_EQ(302u, format(nullptr, 0, "%.300f", 1.0));

    char refused[] = "xxxx";
    EXPECT_EQ(host::kFormatRefused, format(refused, sizeof(refused), "ab%ncd", nullptr));
    EXPECT_STREQ("", refused);
    EXPECT_EQ(host::kFormatRefused, format(refused, sizeof(refused), nullptr));
}

TEST(Format, WppExtensions)
{
    GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    UCHAR ip[4] = {192, 168, 0, 1};
    ULONG address;
    memcpy(&address, ip, sizeof(address));
    UCHAR mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const NarrowCase cases[] = {
        {Wpp("%!FUNC!: %!STATUS! %!HRESULT!", STATUS_UNSUCCESSFUL, 0x80070005), "PortOpen: 0xC0000001 0x80070005"},
        {Wpp("%!GUID!|%!GUID!", &guid, nullptr), "12345678-9ABC-DEF0-0102-030405060708|(null)"},
        {Wpp("%!bool! %!bool! %!BOOLEAN! %!BOOLEAN!", false, true, (BOOLEAN)FALSE, (BOOLEAN)TRUE),
         "false true FALSE TRUE"},
        {Wpp("%!IPADDR! %!MACADDR!", address, mac), "192.168.0.1 00-1A-2B-3C-4D-5E"},
        {Wpp("%d %!FUNC! %s", 1, "x"), "1 PortOpen x"},
        {Wpp("%!NOPE!", 1), "<refused>"},
        {Wpp("%!FUNC"), "<refused>"},
    };
    for (const NarrowCase& c : cases)
        EXPECT_EQ(c.expected, c.actual.text) << "format: " << c.actual.format;
}

TEST(Utf, ConversionsReplaceMalformedInput)
{
    EXPECT_EQ("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", host::utf::ToUtf8(u"a\u00E9\u20AC\U0001F600"));
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", host::utf::ToUtf8(std::u16string(u"\xDC00\xD800")));
    EXPECT_EQ(u"a\u00E9\u20AC\U0001F600", host::utf::ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_EQ(u"\uFFFD\uFFFD", host::utf::ToUtf16("\xF4\x90")); // past U+10FFFF
    EXPECT_EQ(u"\uFFFD", host::utf::ToUtf16("\xF0\x9F\x98")); // truncated
}

} // namespace
