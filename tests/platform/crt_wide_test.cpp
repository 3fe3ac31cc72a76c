// The runtime's 16-bit wide strings: they work on char16_t beside the C library's 32-bit functions of
// the same names.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "crt_handler.h"

namespace {

using crttest::InvalidParameterLog;
using Calls = std::vector<std::u16string>;

TEST(CrtWide, LengthsSearchesAndComparisons)
{
    const char16_t* text = u"Modem\u00e9 port modem";
    EXPECT_EQ(17u, wcslen(text));
    EXPECT_EQ(4u, wcsnlen(text, 4));
    EXPECT_EQ(17u, wcsnlen(text, 100));
    EXPECT_EQ(text + 5, wcschr(text, u'\u00e9'));
    EXPECT_EQ(text + 17, wcschr(text, u'\0'));
    EXPECT_EQ(nullptr, wcschr(text, u'z'));
    EXPECT_EQ(text + 16, wcsrchr(text, u'm'));
    EXPECT_EQ(text + 12, wcsstr(text, u"modem"));
    EXPECT_EQ(text, wcsstr(text, u""));
    EXPECT_EQ(nullptr, wcsstr(text, u"modems"));
    char16_t mutableText[] = u"abc";
    *wcschr(mutableText, u'b') = u'x'; // the non-const overload gives a writable pointer
    EXPECT_EQ(std::u16string(u"axc"), mutableText);

    EXPECT_EQ(0, wcscmp(u"abc", u"abc"));
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(wcscmp(u"\uffff", u"a"), 0); // units compare unsigned
    EXPECT_EQ(0, wcsncmp(u"abcX", u"abcY", 3));
    EXPECT_EQ(0, _wcsicmp(u"USB\\VID", u"usb\\vid"));
    EXPECT_NE(0, _wcsicmp(u"\u00c9", u"\u00e9")); // only ASCII letters fold
    EXPECT_EQ(0, _wcsnicmp(u"ABx", u"aby", 2));

    InvalidParameterLog log;
    EXPECT_EQ(_NLSCMPERROR, _wcsicmp(u"a", nullptr));
    EXPECT_EQ(Calls{u"_wcsicmp"}, log.Take());
}

TEST(CrtWide, BoundedCopiesInUnits)
{
    InvalidParameterLog log;
    char16_t dest[5] = u"ab";
    EXPECT_EQ(0, wcscat_s(dest, u"cd"));
    EXPECT_EQ(std::u16string(u"abcd"), dest);
    EXPECT_EQ(ERANGE, wcscat_s(dest, u"e"));
    EXPECT_EQ(std::u16string(u""), dest);
    EXPECT_EQ(STRUNCATE, wcsncpy_s(dest, u"\U0001F600xyz", _TRUNCATE));
    EXPECT_EQ(std::u16string(u"\U0001F600xy"), dest);
    EXPECT_EQ(0, wcsncpy_s(dest, u"12", 1));
    EXPECT_EQ(0, wcsncat_s(dest, 5, u"zz", 1));
    EXPECT_EQ(std::u16string(u"1z"), dest);
    EXPECT_EQ(0, wcscpy_s(dest, 3, u"12"));
    EXPECT_EQ(EINVAL, wcscpy_s(dest, nullptr));
    EXPECT_EQ(std::u16string(u""), dest);

    char16_t units[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, wmemcpy_s(units, 4, u"xy", 2));
    EXPECT_EQ(std::u16string(u"xy\3\4", 4), std::u16string(units, 4));
    EXPECT_EQ(ERANGE, wmemcpy_s(units, 4, u"12345", 5));
    EXPECT_EQ(std::u16string(4, u'\0'), std::u16string(units, 4));
    EXPECT_EQ(u'q', wmemset(units, u'q', 3)[2]);
    EXPECT_EQ(u'y', wmemcpy(units, u"xy", 2)[1]);
    EXPECT_EQ((Calls{u"wcscat_s", u"wcscpy_s", u"wmemcpy_s"}), log.Take());
}

TEST(CrtWide, NumbersInWideText)
{
    char16_t* end = nullptr;
    const char16_t* text = u" 0x7fffffffZ";
    EXPECT_EQ(0x7FFFFFFF, wcstol(text, &end, 16));
    EXPECT_EQ(u'Z', *end);
    errno = 0;
    EXPECT_EQ(0xFFFFFFFFu, wcstoul(u"99999999999", nullptr, 10));
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(-17, _wtoi(u"-17 dBm"));
    EXPECT_EQ(0, _wtol(u"x1"));
    {
        InvalidParameterLog log;
        EXPECT_EQ(0u, wcstoul(nullptr, &end, 10));
        EXPECT_EQ(nullptr, end);
        EXPECT_EQ(Calls{u"wcstoul"}, log.Take());
    }

    char16_t digits[12];
    EXPECT_EQ(0, _itow_s(-255, digits, 10));
    EXPECT_EQ(std::u16string(u"-255"), digits);
    EXPECT_EQ(0, _itow_s(255, digits, 16));
    EXPECT_EQ(std::u16string(u"ff"), digits);
}

} // namespace
