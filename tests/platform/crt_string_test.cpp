// The runtime's narrow string functions: the bounded copies and their errors, comparisons, tokens and
// number conversions with Windows' 32-bit long.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <functional>
#include <string>

#include "crt_handler.h"

namespace {

using crttest::InvalidParameterLog;
using Calls = std::vector<std::u16string>;

TEST(CrtString, BoundedCopiesAndAppends)
{
    InvalidParameterLog log;
    using Call = std::function<errno_t(char*, size_t)>;
    struct Case {
        const char* name;
        Call call;
        size_t size;
        errno_t result;
        const char* text; // the destination after the call (it starts as "ab")
    };
    const Case cases[] = {
        {"strcpy fits", [](char* d, size_t n) { return strcpy_s(d, n, "xyz"); }, 4, 0, "xyz"},
        {"strcpy too long", [](char* d, size_t n) { return strcpy_s(d, n, "xyzw"); }, 4, ERANGE, ""},
        {"strcpy null source", [](char* d, size_t n) { return strcpy_s(d, n, nullptr); }, 4, EINVAL, ""},
        {"strncpy count", [](char* d, size_t n) { return strncpy_s(d, n, "xyzw", 2); }, 4, 0, "xy"},
        {"strncpy truncate", [](char* d, size_t n) { return strncpy_s(d, n, "xyzw", _TRUNCATE); }, 4, STRUNCATE,
         "xyz"},
        {"strncpy count too big", [](char* d, size_t n) { return strncpy_s(d, n, "xyzw", 4); }, 4, ERANGE, ""},
        {"strncpy count 0", [](char* d, size_t n) { return strncpy_s(d, n, nullptr, 0); }, 4, 0, ""},
        {"strcat fits", [](char* d, size_t n) { return strcat_s(d, n, "c"); }, 4, 0, "abc"},
        {"strcat too long", [](char* d, size_t n) { return strcat_s(d, n, "cd"); }, 4, ERANGE, ""},
        {"strcat unterminated", [](char* d, size_t n) { return strcat_s(d, n, "c"); }, 2, EINVAL, ""},
        {"strncat truncate", [](char* d, size_t n) { return strncat_s(d, n, "cdef", _TRUNCATE); }, 5, STRUNCATE,
         "abcd"},
        {"strncat count", [](char* d, size_t n) { return strncat_s(d, n, "cdef", 1); }, 5, 0, "abc"},
        {"strncat count 0", [](char* d, size_t n) { return strncat_s(d, n, "cdef", 0); }, 5, 0, "ab"},
    };
    for (const Case& c : cases) {
        char dest[8] = "ab";
        errno = 0;
        EXPECT_EQ(c.result, c.call(dest, c.size)) << c.name;
        EXPECT_STREQ(c.text, dest) << c.name;
        bool invalid = c.result == EINVAL || c.result == ERANGE;
        EXPECT_EQ(invalid ? c.result : 0, errno) << c.name; // truncation is no error
        EXPECT_EQ(invalid ? 1u : 0u, log.Take().size()) << c.name;
    }

    EXPECT_EQ(EINVAL, strcpy_s(nullptr, 4, "a"));
    char one[1];
    EXPECT_EQ(EINVAL, strcat_s(one, 0, "a"));
    EXPECT_EQ(0, strncpy_s(nullptr, 0, "a", 0)); // nothing asked, nothing to do
    EXPECT_EQ((Calls{u"strcpy_s", u"strcat_s"}), log.Take());

    char array[4];
    EXPECT_EQ(0, strcpy_s(array, "abc")); // the array's size is taken
    EXPECT_EQ(ERANGE, strcat_s(array, "d"));
    EXPECT_EQ(Calls{u"strcat_s"}, log.Take());
}

TEST(CrtString, MemcpySZeroesTheDestinationOnError)
{
    InvalidParameterLog log;
    unsigned char dest[4] = {1, 2, 3, 4};
    const unsigned char src[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(0, memcpy_s(dest, sizeof(dest), src, 2));
    EXPECT_EQ(0, memcmp("\x09\x09\x03\x04", dest, 4));
    EXPECT_EQ(ERANGE, memcpy_s(dest, sizeof(dest), src, 6));
    EXPECT_EQ(0, memcmp("\0\0\0\0", dest, 4));
    dest[0] = 7;
    EXPECT_EQ(EINVAL, memcpy_s(dest, sizeof(dest), nullptr, 1));
    EXPECT_EQ(0, dest[0]);
    EXPECT_EQ(EINVAL, memcpy_s(nullptr, 4, src, 1));
    EXPECT_EQ(0, memcpy_s(nullptr, 0, nullptr, 0)); // nothing to copy

    dest[0] = 7;
    EXPECT_EQ(ERANGE, memmove_s(dest, sizeof(dest), src, 6));
    EXPECT_EQ(7, dest[0]); // a refused move leaves the destination alone
    EXPECT_EQ((Calls{u"memcpy_s", u"memcpy_s", u"memcpy_s", u"memmove_s"}), log.Take());
}

TEST(CrtString, ComparisonsIgnoringCaseAndTokens)
{
    EXPECT_EQ(0, _stricmp("Modem_A", "mODEM_a"));
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
    EXPECT_GT(_stricmp("abc", "AB"), 0);
    EXPECT_LT(_stricmp("a", "\xe9"), 0); // bytes compare unsigned
    EXPECT_EQ(0, _strnicmp("PCI\\VEN_1", "pci\\ven_2", 8));
    EXPECT_NE(0, _strnicmp("PCI\\VEN_1", "pci\\ven_2", 9));
    {
        InvalidParameterLog log;
        EXPECT_EQ(_NLSCMPERROR, _stricmp(nullptr, "a"));
        EXPECT_EQ(Calls{u"_stricmp"}, log.Take());
    }

    char text[] = ",a,,bc;d,";
    char* context = nullptr;
    std::vector<std::string> tokens;
    for (char* t = strtok_s(text, ",;", &context); t != nullptr; t = strtok_s(nullptr, ",;", &context))
        tokens.emplace_back(t);
    EXPECT_EQ((std::vector<std::string>{"a", "bc", "d"}), tokens);
    EXPECT_EQ(nullptr, strtok_s(nullptr, ",", &context)); // stays at the end

    InvalidParameterLog log;
    char* none = nullptr;
    EXPECT_EQ(nullptr, strtok_s(nullptr, ",", &none));
    EXPECT_EQ(nullptr, strtok_s(text, nullptr, &none));
    EXPECT_EQ((Calls{u"strtok_s", u"strtok_s"}), log.Take());
}

TEST(CrtString, TextToNumbersWithThirtyTwoBitLong)
{
    struct Case {
        const char* text;
        int base;
        unsigned long unsignedValue;
        long signedValue;
        size_t used; // characters taken
        bool unsignedRange, signedRange; // ERANGE expected
    };
    const Case cases[] = {
        {"  42xyz", 10, 42, 42, 4, false, false},
        {"0x1F", 0, 31, 31, 4, false, false},
        {"0x1F", 16, 31, 31, 4, false, false},
        {"017", 0, 15, 15, 3, false, false},
        {"0xg", 0, 0, 0, 1, false, false}, // the prefix needs a digit behind it
        {"-1", 10, 0xFFFFFFFFUL, -1, 2, false, false},
        {"4294967295", 10, 0xFFFFFFFFUL, LONG_MAX >> 32, 10, false, true},
        {"4294967296", 10, 0xFFFFFFFFUL, LONG_MAX >> 32, 10, true, true},
        {"-2147483648", 10, 0x80000000UL, -2147483647L - 1, 11, false, false},
        {"-2147483649", 10, 0x7FFFFFFFUL, -2147483647L - 1, 11, false, true},
        {"zz", 36, 1295, 1295, 2, false, false},
        {"+", 10, 0, 0, 0, false, false},
    };
    for (const Case& c : cases) {
        char* end = nullptr;
        errno = 0;
        EXPECT_EQ(c.unsignedValue, strtoul(c.text, &end, c.base)) << c.text;
        EXPECT_EQ(c.used, size_t(end - c.text)) << c.text;
        EXPECT_EQ(c.unsignedRange ? ERANGE : 0, errno) << c.text;
        errno = 0;
        long expected = c.signedRange ? (c.text[0] == '-' ? -2147483647L - 1 : 2147483647L) : c.signedValue;
        EXPECT_EQ(expected, strtol(c.text, &end, c.base)) << c.text;
        EXPECT_EQ(c.signedRange ? ERANGE : 0, errno) << c.text;
    }
    EXPECT_EQ(2147483647, atoi("99999999999"));
    EXPECT_EQ(-12, atol(" -12abc"));

    InvalidParameterLog log;
    EXPECT_EQ(0UL, strtoul("12", nullptr, 1));
    EXPECT_EQ(0L, strtol("12", nullptr, 37));
    EXPECT_EQ((Calls{u"strtoul", u"strtol"}), log.Take());
}

TEST(CrtString, NumbersToText)
{
    char text[34];
    EXPECT_EQ(0, _itoa_s(-42, text, 10));
    EXPECT_STREQ("-42", text);
    EXPECT_EQ(0, _itoa_s(-1, text, 16)); // two's complement outside radix 10
    EXPECT_STREQ("ffffffff", text);
    EXPECT_EQ(0, _itoa_s(INT_MIN, text, 10));
    EXPECT_STREQ("-2147483648", text);
    EXPECT_EQ(0, _ultoa_s(5, text, sizeof(text), 2));
    EXPECT_STREQ("101", text);
    EXPECT_EQ(0, _i64toa_s(INT64_MIN, text, sizeof(text), 10));
    EXPECT_STREQ("-9223372036854775808", text);
    EXPECT_EQ(0, _ui64toa_s(UINT64_MAX, text, sizeof(text), 36));
    EXPECT_STREQ("3w5e11264sgsf", text);

    InvalidParameterLog log;
    char small[3] = "##";
    EXPECT_EQ(ERANGE, _itoa_s(-10, small, sizeof(small), 10)); // "-10" needs four
    EXPECT_STREQ("", small);
    EXPECT_EQ(0, _itoa_s(-1, small, sizeof(small), 10));
    EXPECT_EQ(EINVAL, _itoa_s(1, text, sizeof(text), 37));
    EXPECT_EQ(EINVAL, _itoa_s(1, nullptr, 4, 10));
    EXPECT_EQ((Calls{u"_itoa_s", u"_itoa_s", u"_itoa_s"}), log.Take());
}

} // namespace
