// File mappings backed by memory and their views.
#include <gtest/gtest.h>

#include <windows.h>

namespace
{

TEST(MappingTest, ViewsShareTheSectionsPagesAndOutliveItsHandle)
{
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x20000, nullptr);
    ASSERT_NE(mapping, nullptr);
    auto* first = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    auto* second = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0x10000, 0x100));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first[0x1FFFF], 0); // zero-filled
    first[0x10000] = 'x';
    EXPECT_EQ(second[0], 'x');
    EXPECT_TRUE(CloseHandle(mapping));
    first[0x10001] = 'y'; // the views keep the section
    EXPECT_EQ(second[1], 'y');
    EXPECT_TRUE(UnmapViewOfFile(first));
    EXPECT_TRUE(UnmapViewOfFile(second));
    EXPECT_FALSE(UnmapViewOfFile(second));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
}

TEST(MappingTest, RefusedRequests)
{
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, 0x40, 0, 4096, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "Named"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));

    HANDLE readOnly = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 0x10000, nullptr);
    ASSERT_NE(readOnly, nullptr);
    struct Case {
        DWORD access;
        DWORD offset;
        SIZE_T bytes;
        DWORD error;
    } cases[] = {
        {FILE_MAP_WRITE, 0, 0, ERROR_ACCESS_DENIED},
        {FILE_MAP_READ, 0x1000, 0, ERROR_MAPPED_ALIGNMENT},
        {FILE_MAP_READ, 0, 0x10001, ERROR_ACCESS_DENIED},
        {FILE_MAP_READ, 0x10000, 0, ERROR_ACCESS_DENIED},
        {0, 0, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MapViewOfFile(readOnly, c.access, 0, c.offset, c.bytes), nullptr);
        EXPECT_EQ(GetLastError(), c.error) << c.access << " " << c.offset << " " << c.bytes;
    }
    void* view = MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0);
    EXPECT_NE(view, nullptr);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(readOnly));
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
