// Bounded string functions: destination validation, truncation with STATUS_BUFFER_OVERFLOW, lengths.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <ntstrsafe.h>

namespace {

constexpr size_t kTooBig = size_t(NTSTRSAFE_MAX_CCH) + 1;

TEST(StrSafe, BadDestinationsAreRefused)
{
    // Each function gets a destination of the given size in its own unit (bytes for Cb, characters for Cch).
    const std::pair<const char*, std::function<NTSTATUS(size_t)>> calls[] = {
        {"CchPrintfA", [](size_t n) { char d[4]; return RtlStringCchPrintfA(d, n, "%d", 1); }},
        {"CbPrintfA", [](size_t n) { char d[4]; return RtlStringCbPrintfA(d, n, "%d", 1); }},
        {"CchPrintfW", [](size_t n) { WCHAR d[4]; return RtlStringCchPrintfW(d, n, u"%d", 1); }},
        {"CbPrintfW", [](size_t n) { WCHAR d[4]; return RtlStringCbPrintfW(d, n * sizeof(WCHAR), u"%d", 1); }},
        {"CchCopyA", [](size_t n) { char d[4]; return RtlStringCchCopyA(d, n, "a"); }},
        {"CbCopyW", [](size_t n) { WCHAR d[4]; return RtlStringCbCopyW(d, n * sizeof(WCHAR), u"a"); }},
        {"CbCopyNA", [](size_t n) { char d[4]; return RtlStringCbCopyNA(d, n, "a", 1); }},
        {"CchCatA", [](size_t n) { char d[4] = ""; return RtlStringCchCatA(d, n, "a"); }},
        {"CbCatW", [](size_t n) { WCHAR d[4] = u""; return RtlStringCbCatW(d, n * sizeof(WCHAR), u"a"); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, call(0)) << name;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, call(kTooBig)) << name;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchCopyA(nullptr, 4, "a"));
    WCHAR one[1];
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbCopyW(one, 1, u"")); // less than one character
}

TEST(StrSafe, PrintfTruncatesAndReportsOverflow)
{
    char narrow[6] = "xxxxx";
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbPrintfA(narrow, sizeof(narrow), "%ld-%s", 12L, "ab"));
    EXPECT_STREQ("12-ab", narrow);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchPrintfA(narrow, sizeof(narrow), "%I64u", 1234567ULL));
    EXPECT_STREQ("12345", narrow);

    WCHAR wide[4];
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchPrintfW(wide, RTL_NUMBER_OF(wide), u"%S", "\xC3\xA9"));
    EXPECT_EQ(std::u16string(u"\u00E9"), wide);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCbPrintfW(wide, sizeof(wide), u"%s%s", u"ab", u"cd"));
    EXPECT_EQ(std::u16string(u"abc"), wide);

    // A refused format or a missing one leaves an empty string.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbPrintfA(narrow, sizeof(narrow), "a%n", nullptr));
    EXPECT_STREQ("", narrow);
    strcpy(narrow, "x");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbPrintfA(narrow, sizeof(narrow), nullptr));
    EXPECT_STREQ("", narrow);
}

TEST(StrSafe, CopyCopyNAndCat)
{
    char d[5];
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCopyA(d, sizeof(d), "abcd"));
    EXPECT_STREQ("abcd", d);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchCopyA(d, sizeof(d), "abcdef"));
    EXPECT_STREQ("abcd", d);
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCopyNA(d, sizeof(d), "abcdef", 2));
    EXPECT_STREQ("ab", d);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchCopyNA(d, sizeof(d), "abcdef", 5));
    EXPECT_STREQ("abcd", d);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchCopyNA(d, sizeof(d), "ab", kTooBig));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchCopyA(d, sizeof(d), nullptr));
    EXPECT_STREQ("", d);

    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCopyA(d, sizeof(d), "ab"));
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCatA(d, sizeof(d), "c"));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchCatA(d, sizeof(d), "def"));
    EXPECT_STREQ("abcd", d);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchCatA(d, sizeof(d), "e")); // already full
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchCatA(d, sizeof(d), ""));
    char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchCatA(unterminated, sizeof(unterminated), "d"));
    EXPECT_EQ('c', unterminated[2]);

    WCHAR w[4];
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchCopyW(w, RTL_NUMBER_OF(w), u"ab"));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCbCatW(w, sizeof(w), u"cd"));
    EXPECT_EQ(std::u16string(u"abc"), w);
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCopyNW(w, sizeof(w), u"xyz", 2 * sizeof(WCHAR)));
    EXPECT_EQ(std::u16string(u"xy"), w);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCchCopyNW(w, RTL_NUMBER_OF(w), u"uvwxyz", 6));
    EXPECT_EQ(std::u16string(u"uvw"), w);
}

TEST(StrSafe, LengthWithinTheLimit)
{
    size_t length = 99;
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchLengthA("abc", 4, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbLengthW(u"abc", 8, &length));
    EXPECT_EQ(6u, length); // bytes
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchLengthW(u"", 1, nullptr));
    length = 99;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbLengthA("abc", 3, &length)); // no terminator in reach
    EXPECT_EQ(0u, length);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchLengthA("abc", kTooBig, &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchLengthA("abc", 0, &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchLengthW(nullptr, 4, &length));
}

} // namespace
