// MultiByteToWideChar and WideCharToMultiByte: UTF-8 and Windows-1252, size probes, the terminator,
// strict flags, default characters and argument errors.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

namespace {

// Converts with a size probe first, as callers do; a failure leaves the text empty and the last error set.
struct Result {
    int probed;
    std::u16string text;
    DWORD error;
};

Result ToWide(UINT codePage, DWORD flags, const std::string& bytes)
{
    SetLastError(ERROR_SUCCESS);
    int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string text(n, u'\0');
    if (n > 0 &&
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), n) != n)
        text = u"<mismatch>";
    return {n, text, GetLastError()};
}

struct NarrowResult {
    int probed;
    std::string text;
    BOOL usedDefault;
    DWORD error;
};

NarrowResult ToNarrow(UINT codePage, DWORD flags, const std::u16string& text, LPCSTR defaultChar = nullptr,
                      bool askUsedDefault = true)
{
    SetLastError(ERROR_SUCCESS);
    BOOL used = -1;
    LPBOOL usedOut = askUsedDefault ? &used : nullptr;
    int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, defaultChar, usedOut);
    std::string bytes(n, '\0');
    if (n > 0 && WideCharToMultiByte(codePage, flags, text.data(), size, bytes.data(), n, defaultChar, usedOut) != n)
        bytes = "<mismatch>";
    return {n, bytes, used, GetLastError()};
}

TEST(Win32CodePage, Utf8BothWays)
{
    const std::string utf8 = "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbd";
    const std::u16string utf16 = u"A\u00e9\u20ac\U0001F600\uFFFD";
    for (DWORD flags : {0u, DWORD(MB_ERR_INVALID_CHARS)}) {
        Result wide = ToWide(CP_UTF8, flags, utf8);
        EXPECT_EQ(6, wide.probed); // the emoji takes a surrogate pair
        EXPECT_EQ(utf16, wide.text);
    }
    for (DWORD flags : {0u, DWORD(WC_ERR_INVALID_CHARS)}) {
        NarrowResult narrow = ToNarrow(CP_UTF8, flags, utf16, nullptr, false);
        EXPECT_EQ(13, narrow.probed);
        EXPECT_EQ(utf8, narrow.text);
    }
}

TEST(Win32CodePage, MalformedInputIsReplacedOrRefused)
{
    const std::pair<std::string, std::u16string> utf8Cases[] = {
        {"a\x80" "b", u"a\uFFFDb"},           // a lone continuation byte
        {"\xc0\xaf", u"\uFFFD\uFFFD"},        // overlong
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"}, // an encoded surrogate
        {"\xe2\x82", u"\uFFFD"},              // truncated
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
    };
    for (const auto& [bytes, expected] : utf8Cases) {
        EXPECT_EQ(expected, ToWide(CP_UTF8, 0, bytes).text);
        Result strict = ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, bytes);
        EXPECT_EQ(0, strict.probed);
        EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), strict.error);
    }
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ("a\xef\xbf\xbd" "b\xef\xbf\xbd", ToNarrow(CP_UTF8, 0, lone, nullptr, false).text);
    NarrowResult strict = ToNarrow(CP_UTF8, WC_ERR_INVALID_CHARS, lone, nullptr, false);
    EXPECT_EQ(0, strict.probed);
    EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), strict.error);
}

TEST(Win32CodePage, Windows1252)
{
    std::string every;
    for (int b = 1; b < 256; b++)
        every += static_cast<char>(b);
    for (UINT codePage : {UINT(CP_ACP), UINT(CP_THREAD_ACP), 1252u}) {
        Result wide = ToWide(codePage, MB_ERR_INVALID_CHARS, every); // every byte is defined
        ASSERT_EQ(255, wide.probed);
        EXPECT_EQ(u'\u20ac', wide.text[0x80 - 1]);
        EXPECT_EQ(u'\u0178', wide.text[0x9F - 1]);
        EXPECT_EQ(u'\u0081', wide.text[0x81 - 1]); // an unassigned byte keeps its value
        EXPECT_EQ(u'\u00ff', wide.text[0xFF - 1]);
        NarrowResult back = ToNarrow(codePage, 0, wide.text);
        EXPECT_EQ(every, back.text);
        EXPECT_FALSE(back.usedDefault);
    }

    NarrowResult lossy = ToNarrow(CP_ACP, 0, u"\u20ac\u0100\U0001F600\u0080");
    EXPECT_EQ("\x80????", lossy.text); // each half of a pair, and a C1 control 1252 does not have
    EXPECT_TRUE(lossy.usedDefault);
    EXPECT_EQ("\x80#", ToNarrow(CP_ACP, WC_NO_BEST_FIT_CHARS, u"\u20ac\u0100", "#").text);
}

TEST(Win32CodePage, TerminatorAndBufferSizes)
{
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0)); // -1 counts the terminator
    WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 4));
    EXPECT_EQ(std::u16string(u"abc"), wide);
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abcdef", 3, wide, 4)); // a counted source has none

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, wide, 1)); // half a pair does not fit
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    char narrow[3];
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"\u00e9", -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"\u00e9", -1, narrow, 3, nullptr, nullptr));
    EXPECT_STREQ("\xc3\xa9", narrow);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u20ac", 1, narrow, 2, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(Win32CodePage, BadArgumentsAndFlags)
{
    WCHAR wide[4];
    char narrow[4];
    BOOL used;
    struct Case {
        const char* name;
        std::function<int()> call;
        DWORD error;
    };
    const Case cases[] = {
        {"null source", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 4); }, ERROR_INVALID_PARAMETER},
        {"empty source", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4); }, ERROR_INVALID_PARAMETER},
        {"length below -1", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null output with a size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4); },
         ERROR_INVALID_PARAMETER},
        {"negative output size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, wide, -1); },
         ERROR_INVALID_PARAMETER},
        {"unknown code page", [&] { return MultiByteToWideChar(437, 0, "a", 1, wide, 4); }, ERROR_INVALID_PARAMETER},
        {"UTF-8 precomposed", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4); },
         ERROR_INVALID_FLAGS},
        {"UTF-8 default char", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr); },
         ERROR_INVALID_PARAMETER},
        {"UTF-8 used default", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, nullptr, &used); },
         ERROR_INVALID_PARAMETER},
        {"1252 strict",
         [&] { return WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, u"a", 1, narrow, 4, nullptr, nullptr); },
         ERROR_INVALID_FLAGS},
        {"wide null source", [&] { return WideCharToMultiByte(CP_ACP, 0, nullptr, 1, narrow, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"same buffer", [&] { return WideCharToMultiByte(CP_ACP, 0, wide, 1, reinterpret_cast<char*>(wide), 4,
                                                         nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(0, c.call()) << c.name;
        EXPECT_EQ(c.error, GetLastError()) << c.name;
    }
}

} // namespace
