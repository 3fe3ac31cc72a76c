// The runtime's formatted output: Windows format semantics, the truncation rules of each family, and
// invalid parameters.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>

#include <windef.h>

#include <string>

#include "crt_handler.h"

namespace {

using crttest::InvalidParameterLog;
using Calls = std::vector<std::u16string>;

int CallVsnprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int Measure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = _vscprintf(format, args);
    va_end(args);
    return result;
}

TEST(CrtFormat, WindowsSizesAndWideText)
{
    char text[64];
    ULONG ulong = 0xFFFFFFFF;
    LONG negative = -2;
    EXPECT_EQ(40, sprintf_s(text, "%lu %ld %I64d %S %ls|%-4hs|", ulong, negative, -(1LL << 40), u"w\u00e9",
                            u"x", "ab"));
    EXPECT_STREQ("4294967295 -2 -1099511627776 w\xc3\xa9 x|ab  |", text);

    char16_t wide[32];
    EXPECT_EQ(8, swprintf_s(wide, u"%s-%S-%d", u"ab", "c\xc3\xa9", 42));
    EXPECT_EQ(std::u16string(u"ab-c\u00e9-42"), wide);

    EXPECT_EQ(8, _scprintf("%s=%lu", "count", 42UL));
    EXPECT_EQ(8, Measure("%s=%lu", "count", 42UL));
    EXPECT_EQ(3, _scwprintf(u"%d", 123));
}

TEST(CrtFormat, VsnprintfLeavesAFullBufferUnterminated)
{
    struct Case {
        size_t count;
        int result;
        const char* contents; // the buffer's first 8 bytes after the call (it starts as "########")
    };
    const Case cases[] = {
        {8, 5, "hello\0##"}, // room for the terminator
        {5, 5, "hello###"},  // exactly the text: no terminator
        {3, -1, "hel#####"}, // cut: no terminator
        {0, -1, "########"},
    };
    for (const Case& c : cases) {
        char buffer[8];
        memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(c.result, _snprintf(buffer, c.count, "%s", "hello")) << c.count;
        EXPECT_EQ(0, memcmp(c.contents, buffer, sizeof(buffer))) << c.count;
    }
    EXPECT_EQ(5, CallVsnprintf(nullptr, 0, "%s", "hello")); // measures

    char16_t wide[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(-1, _snwprintf(wide, 3, u"%d", 12345));
    EXPECT_EQ(std::u16string(u"123#"), std::u16string(wide, 4));
}

TEST(CrtFormat, BoundedFormsCutOrRefuse)
{
    InvalidParameterLog log;
    struct Case {
        size_t size;
        size_t count;
        int result;
        const char* text;
        bool invalid;
    };
    const Case cases[] = {
        {8, _TRUNCATE, 5, "hello", false},
        {4, _TRUNCATE, -1, "hel", false},
        {8, 2, -1, "he", false},    // count below the size cuts without an error
        {8, 5, 5, "hello", false},  // text of exactly count
        {4, 10, -1, "", true},      // count does not limit and the size is too small
        {6, 6, 5, "hello", false},
    };
    for (const Case& c : cases) {
        char buffer[8] = "#######";
        errno = 0;
        EXPECT_EQ(c.result, _snprintf_s(buffer, c.size, c.count, "%s", "hello")) << c.size << "/" << c.count;
        EXPECT_STREQ(c.text, buffer) << c.size << "/" << c.count;
        EXPECT_EQ(c.invalid ? Calls{u"_vsnprintf_s"} : Calls{}, log.Take());
        EXPECT_EQ(c.invalid ? ERANGE : 0, errno);
    }

    char small[4] = "###";
    errno = 0;
    EXPECT_EQ(-1, sprintf_s(small, "%d", 12345));
    EXPECT_STREQ("", small);
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(Calls{u"vsprintf_s"}, log.Take());

    char16_t wide[4];
    EXPECT_EQ(-1, _snwprintf_s(wide, _TRUNCATE, u"%s", u"hello"));
    EXPECT_EQ(std::u16string(u"hel"), wide);
    EXPECT_EQ(Calls{}, log.Take());
}

TEST(CrtFormat, BadArgumentsAreInvalidParameters)
{
    InvalidParameterLog log;
    char buffer[8] = "#######";
    errno = 0;
    EXPECT_EQ(-1, sprintf_s(buffer, sizeof(buffer), nullptr));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, sprintf_s(nullptr, 8, "x"));
    EXPECT_EQ(-1, _snprintf_s(buffer, 0, _TRUNCATE, "x"));
    EXPECT_EQ(-1, sprintf_s(buffer, "%n", nullptr)); // refused by the formatter
    EXPECT_EQ(-1, _snprintf(nullptr, 4, "x"));
    EXPECT_EQ(-1, snprintf(buffer, sizeof(buffer), "%y"));
    EXPECT_EQ(-1, fprintf(nullptr, "x"));
    EXPECT_EQ(-1, _scprintf(nullptr));
    EXPECT_EQ((Calls{u"vsprintf_s", u"vsprintf_s", u"_vsnprintf_s", u"vsprintf_s", u"_vsnprintf", u"vsnprintf",
                     u"vfprintf", u"_vscprintf"}),
              log.Take());
}

TEST(CrtFormat, TheCLibraryNamesUseWindowsSemantics)
{
    char buffer[8];
    EXPECT_EQ(10, snprintf(buffer, sizeof(buffer), "%lu", 4294967295UL << 32 | 1234567890UL)); // l is 32 bits
    EXPECT_STREQ("1234567", buffer);
    char big[32];
    EXPECT_EQ(5, sprintf(big, "%S", u"wide!"));
    EXPECT_STREQ("wide!", big);

    FILE* file = tmpfile();
    ASSERT_NE(nullptr, file);
    std::string longText(1000, 'x'); // past the stack buffer of the stream path
    EXPECT_EQ(1004, fprintf(file, "%ls:%s|%lu", u"a", longText.c_str(), 7UL << 32 | 9));
    rewind(file);
    char read[1100] = {};
    EXPECT_EQ(1004u, fread(read, 1, sizeof(read), file));
    EXPECT_EQ("a:" + longText + "|9", std::string(read));
    fclose(file);
}

} // namespace
