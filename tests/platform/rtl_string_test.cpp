// Counted strings: lengths in bytes, terminators only when room is left, case folding for Latin-1.
#include <gtest/gtest.h>

#include <wdm.h>

#include <string>

namespace
{

UNICODE_STRING Counted(std::u16string& text)
{
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          text.data()};
}

TEST(RtlString, InitSetsByteLengthsAndHandlesNull)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"abc");
    EXPECT_EQ(6, s.Length);
    EXPECT_EQ(8, s.MaximumLength);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(0, s.Length);
    EXPECT_EQ(0, s.MaximumLength);
    EXPECT_EQ(nullptr, s.Buffer);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "abcd");
    EXPECT_EQ(4, a.Length);
    EXPECT_EQ(5, a.MaximumLength);

    std::u16string huge(40000, u'x'); // 80000 bytes: more than a USHORT count holds
    EXPECT_EQ(STATUS_NAME_TOO_LONG, RtlInitUnicodeStringEx(&s, huge.c_str()));
    RtlInitUnicodeString(&s, huge.c_str());
    EXPECT_EQ(0xfffc, s.Length); // cut at the limit, never wrapped
    EXPECT_EQ(0xfffe, s.MaximumLength);
}

TEST(RtlString, UpcaseCoversAsciiAndLatin1Only)
{
    struct Case {
        WCHAR in, out;
    } cases[] = {
        {u'a', u'A'},       {u'z', u'Z'},       {u'A', u'A'},
        {u'0', u'0'},       {u'{', u'{'},       {0xE0, 0xC0},
        {0xFE, 0xDE},       {0xF7, 0xF7} /*÷*/, {0xFF, 0x0178},
        {0xDF, 0xDF} /*ß*/, {0xB5, 0xB5},       {0x3B1, 0x3B1} /* Greek: beyond what the host folds */,
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.out, RtlUpcaseUnicodeChar(c.in)) << std::hex << static_cast<int>(c.in);
}

TEST(RtlString, CompareAndEqual)
{
    struct Case {
        std::u16string a, b;
        bool insensitive;
        int sign;
    } cases[] = {
        {u"abc", u"abc", false, 0},
        {u"abc", u"ABC", false, 1},
        {u"abc", u"ABC", true, 0},
        {u"abc", u"abd", true, -1},
        {u"ab", u"abc", false, -1},
        {u"abc", u"ab", true, 1},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
        {u"", u"", false, 0},
    };
    for (Case& c : cases) {
        UNICODE_STRING a = Counted(c.a), b = Counted(c.b);
        LONG result = RtlCompareUnicodeString(&a, &b, c.insensitive);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0));
        EXPECT_EQ(c.sign == 0, RtlEqualUnicodeString(&a, &b, c.insensitive) != FALSE);
    }
}

TEST(RtlString, CopyTruncatesAndTerminatesWhenRoomIsLeft)
{
    WCHAR buffer[8];
    std::u16string source = u"hello";
    UNICODE_STRING src = Counted(source);

    UNICODE_STRING dst{0, sizeof(buffer), buffer};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(10, dst.Length);
    EXPECT_EQ(u"hello", std::u16string(buffer)); // terminated

    dst = {0, 6, buffer};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(6, dst.Length);
    EXPECT_EQ(u"hel", std::u16string(buffer, 3));

    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(0, dst.Length);
}

TEST(RtlString, AppendFailsWholeWhenItDoesNotFit)
{
    WCHAR buffer[6] = {};
    UNICODE_STRING dst{0, sizeof(buffer), buffer};
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&dst, u"ab"));
    std::u16string more = u"cd";
    UNICODE_STRING counted = Counted(more);
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&dst, &counted));
    EXPECT_EQ(u"abcd", std::u16string(buffer));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&dst, u"efg"));
    EXPECT_EQ(8, dst.Length);                                         // unchanged
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&dst, u"ef")); // exactly full: no terminator
    EXPECT_EQ(12, dst.Length);
    EXPECT_EQ(u"abcdef", std::u16string(buffer, 6));
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&dst, nullptr));
}

TEST(RtlString, CompareMemoryCountsTheMatchingPrefix)
{
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(2u, RtlCompareMemory(a, b, 4));
    EXPECT_EQ(4u, RtlCompareMemory(a, a, 4));
    EXPECT_EQ(0u, RtlCompareMemory(a, b, 0));
}

} // namespace
