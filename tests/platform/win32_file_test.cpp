// Win32 files in the sandbox: dispositions, share modes, attributes, data, names and searches.
#include <gtest/gtest.h>

#include <host/files.h>
#include <host/process.h>
#include <windows.h>

#include <fstream>
#include <set>
#include <string>

namespace
{

class FileTest : public testing::Test
{
  protected:
    void SetUp() override { host::CurrentProcess().currentDirectory = u"C:\\"; }

    static HANDLE Open(const char16_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
    {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }

    static void Write(const char16_t* path, std::string_view data, DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS, flags);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr));
        CloseHandle(file);
    }

    static std::string Read(const char16_t* path)
    {
        HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (file == INVALID_HANDLE_VALUE)
            return "<" + std::to_string(GetLastError()) + ">";
        char buffer[256];
        DWORD n = 0;
        ReadFile(file, buffer, sizeof(buffer), &n, nullptr);
        CloseHandle(file);
        return std::string(buffer, n);
    }

    host::FilesTemporarySandbox sandbox;
};

TEST_F(FileTest, Dispositions)
{
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD error; // the last error, on success too
        const char* content;
    } cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<2>"},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<2>"},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
        DeleteFileW(u"C:\\f");
        if (c.exists)
            Write(u"C:\\f", "old");
        HANDLE file = Open(u"C:\\f", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(GetLastError(), c.error);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        EXPECT_EQ(Read(u"C:\\f"), c.content);
    }
    EXPECT_EQ(Open(u"C:\\missing\\f", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(u"C:\\f", GENERIC_WRITE, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(FileTest, ShareModes)
{
    Write(u"C:\\s", "x");
    struct Case {
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool opens;
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_WRITE,
         false}, // first reads
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         true},
        {GENERIC_WRITE, 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {GENERIC_WRITE, 0, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, true}, // attributes only
        {GENERIC_READ, FILE_SHARE_READ, DELETE, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, DELETE, FILE_SHARE_READ, true},
    };
    for (const Case& c : cases) {
        HANDLE first = Open(u"C:\\s", c.firstAccess, c.firstShare, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = Open(u"C:\\S", c.secondAccess, c.secondShare, OPEN_EXISTING);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.opens)
            << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare;
        if (second != INVALID_HANDLE_VALUE)
            CloseHandle(second);
        else
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        CloseHandle(first);
    }
    // A refused CREATE_ALWAYS leaves the data alone.
    HANDLE reader = Open(u"C:\\s", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(Open(u"C:\\s", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(u"C:\\s"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    EXPECT_EQ(Read(u"C:\\s"), "x");
}

TEST_F(FileTest, ReadOnlyHiddenAndSystemTargets)
{
    // Created read-only: still writable through the creating handle, refused to every later writer.
    HANDLE file = Open(u"C:\\ro", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(file, "data", 4, &n, nullptr));
    CloseHandle(file);
    EXPECT_EQ(GetFileAttributesW(u"C:\\ro"), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    for (DWORD disposition : {DWORD(OPEN_EXISTING), DWORD(CREATE_ALWAYS), DWORD(TRUNCATE_EXISTING)}) {
        EXPECT_EQ(Open(u"C:\\ro", GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    EXPECT_FALSE(DeleteFileW(u"C:\\ro"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Read(u"C:\\ro"), "data");
    EXPECT_TRUE(SetFileAttributesW(u"C:\\ro", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(u"C:\\ro"), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(u"C:\\ro"));

    // CREATE_ALWAYS over a hidden or system file must name those bits.
    for (DWORD bit : {DWORD(FILE_ATTRIBUTE_HIDDEN), DWORD(FILE_ATTRIBUTE_SYSTEM)}) {
        Write(u"C:\\h", "x", bit);
        EXPECT_EQ(Open(u"C:\\h", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        HANDLE same = Open(u"C:\\h", GENERIC_WRITE, 0, CREATE_ALWAYS, bit);
        EXPECT_NE(same, INVALID_HANDLE_VALUE);
        CloseHandle(same);
        EXPECT_EQ(GetFileAttributesW(u"C:\\h"), bit | FILE_ATTRIBUTE_ARCHIVE);
        SetFileAttributesW(u"C:\\h", FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(u"C:\\h");
    }
}

TEST_F(FileTest, DataPointerAndSize)
{
    HANDLE file = Open(u"C:\\d", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(file, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(SetFilePointer(file, -4, nullptr, FILE_END), 6u);
    char buffer[16] = {};
    EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "6789");
    EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &n, nullptr)); // at the end: success, nothing read
    EXPECT_EQ(n, 0u);

    OVERLAPPED at{};
    at.Offset = 2;
    EXPECT_TRUE(ReadFile(file, buffer, 3, &n, &at));
    EXPECT_EQ(std::string(buffer, n), "234");
    at.Offset = 100;
    EXPECT_FALSE(ReadFile(file, buffer, 3, &n, &at));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));

    EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    LARGE_INTEGER distance;
    LARGE_INTEGER position;
    distance.QuadPart = 5;
    EXPECT_TRUE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    DWORD high = 1;
    EXPECT_EQ(GetFileSize(file, &high), 5u);
    EXPECT_EQ(high, 0u);
    distance.QuadPart = 8;
    EXPECT_TRUE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
    EXPECT_TRUE(WriteFile(file, "x", 1, &n, nullptr)); // past the end: the gap reads as zeros
    LARGE_INTEGER size;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 9);
    EXPECT_EQ(GetFileType(file), DWORD(FILE_TYPE_DISK));
    EXPECT_TRUE(FlushFileBuffers(file));
    CloseHandle(file);
    EXPECT_EQ(Read(u"C:\\d"), std::string("01234\0\0\0x", 9));

    HANDLE reader = Open(u"C:\\d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(reader));
    CloseHandle(reader);
}

TEST_F(FileTest, BadHandles)
{
    DWORD n = 0;
    char c;
    HANDLE bad = reinterpret_cast<HANDLE>(0x7777);
    EXPECT_FALSE(ReadFile(bad, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetFileType(bad), DWORD(FILE_TYPE_UNKNOWN));
    EXPECT_FALSE(FindClose(bad));
    EXPECT_FALSE(CloseHandle(bad));
    // A find handle is not a file, and a file handle is not a search.
    Write(u"C:\\f", "x");
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"C:\\*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(search, &c, 1, &n, nullptr));
    HANDLE file = Open(u"C:\\f", GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_FALSE(FindNextFileW(file, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(file);
    EXPECT_TRUE(FindClose(search));
}

TEST_F(FileTest, MoveCopyAndDelete)
{
    Write(u"C:\\a", "A");
    Write(u"C:\\b", "B");
    EXPECT_FALSE(MoveFileW(u"C:\\a", u"C:\\B"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExW(u"C:\\a", u"C:\\B", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(Read(u"C:\\b"), "A");
    EXPECT_EQ(GetFileAttributesW(u"C:\\a"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "B")); // the new name's case

    EXPECT_TRUE(MoveFileW(u"C:\\B", u"C:\\b")); // a change of case only
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "b"));
    EXPECT_FALSE(MoveFileW(u"C:\\none", u"C:\\x"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileW(u"C:\\b", u"C:\\no\\x"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    Write(u"C:\\ro", "R", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(MoveFileExW(u"C:\\b", u"C:\\ro", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(CopyFileW(u"C:\\ro", u"C:\\copy", TRUE));
    EXPECT_EQ(Read(u"C:\\copy"), "R");
    EXPECT_EQ(GetFileAttributesW(u"C:\\copy"),
              DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(CopyFileW(u"C:\\b", u"C:\\copy", TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_FALSE(CopyFileW(u"C:\\b", u"C:\\copy", FALSE)); // read-only target
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CopyFileW(u"C:\\b", u"C:\\copy2", FALSE));
    EXPECT_TRUE(CopyFileW(u"C:\\ro", u"C:\\copy2", FALSE));
    EXPECT_EQ(Read(u"C:\\copy2"), "R");

    EXPECT_FALSE(DeleteFileW(u"C:\\none"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"C:\\none\\x"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(DeleteFileA("C:\\B"));
}

TEST_F(FileTest, Directories)
{
    EXPECT_TRUE(CreateDirectoryW(u"C:\\dir", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\DIR", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryA("C:\\no\\dir", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"C:\\dir"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(Open(u"C:\\dir", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"C:\\dir"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    Write(u"C:\\dir\\f", "x");
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\dir"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\dir\\f"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
    EXPECT_TRUE(MoveFileW(u"C:\\dir", u"C:\\moved"));
    EXPECT_EQ(Read(u"C:\\moved\\F"), "x");
    EXPECT_TRUE(DeleteFileW(u"C:\\moved\\f"));
    EXPECT_TRUE(RemoveDirectoryA("C:\\Moved"));
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\moved"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    // Nothing of the host's own is left behind.
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.Root() / "C"))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"Windows"}));
}

TEST_F(FileTest, SearchesWithWildcards)
{
    CreateDirectoryW(u"C:\\s", nullptr);
    for (const char16_t* name : {u"C:\\s\\b.txt", u"C:\\s\\A.txt", u"C:\\s\\c.log", u"C:\\s\\ab"})
        Write(name, "12345");
    CreateDirectoryW(u"C:\\s\\sub", nullptr);
    auto names = [](const char16_t* pattern) {
        std::vector<std::u16string> found;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(pattern, &data);
        if (search == INVALID_HANDLE_VALUE) {
            found.push_back(u"error " + std::u16string(1, char16_t(u'0' + GetLastError())));
            return found;
        }
        do
            found.push_back(data.cFileName);
        while (FindNextFileW(search, &data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        FindClose(search);
        return found;
    };
    using V = std::vector<std::u16string>;
    EXPECT_EQ(names(u"C:\\s\\*"), (V{u".", u"..", u"A.txt", u"ab", u"b.txt", u"c.log", u"sub"}));
    EXPECT_EQ(names(u"C:\\s\\*.*"), (V{u".", u"..", u"A.txt", u"ab", u"b.txt", u"c.log", u"sub"}));
    EXPECT_EQ(names(u"C:\\s\\*.TXT"), (V{u"A.txt", u"b.txt"}));
    EXPECT_EQ(names(u"C:\\s\\?b"), (V{u"ab"}));
    EXPECT_EQ(names(u"C:\\s\\a*"), (V{u"A.txt", u"ab"}));
    EXPECT_EQ(names(u"C:\\s\\SUB"), (V{u"sub"}));
    EXPECT_EQ(names(u"C:\\s\\*.none"), (V{u"error 2"}));
    EXPECT_EQ(names(u"C:\\none\\*"), (V{u"error 3"}));

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA("C:\\s\\c.*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "c.log");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
    FindClose(search);
}

TEST_F(FileTest, TimesAndAttributeData)
{
    HANDLE file = Open(u"C:\\t", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    FILETIME creation{0x11111111, 0x01D00000};
    FILETIME written{0x22222222, 0x01D00000};
    EXPECT_TRUE(SetFileTime(file, &creation, nullptr, &written));
    DWORD n;
    EXPECT_TRUE(WriteFile(file, "abc", 3, &n, nullptr)); // the chosen write time stays
    CloseHandle(file);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(u"C:\\t", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.ftCreationTime.dwLowDateTime, creation.dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime);
    EXPECT_EQ(data.nFileSizeLow, 3u);

    // Rewriting the file keeps its creation time.
    Write(u"C:\\t", "new");
    file = Open(u"C:\\t", GENERIC_READ, 0, OPEN_EXISTING);
    FILETIME c{};
    FILETIME w{};
    EXPECT_TRUE(GetFileTime(file, &c, nullptr, &w));
    EXPECT_EQ(c.dwLowDateTime, creation.dwLowDateTime);
    EXPECT_FALSE(SetFileTime(file, &creation, nullptr, nullptr)); // no write access
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(file);

    EXPECT_FALSE(GetFileAttributesExW(u"C:\\t", GetFileExMaxInfoLevel, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(FileTest, InformationByHandle)
{
    Write(u"C:\\i", "12345", FILE_ATTRIBUTE_HIDDEN);
    Write(u"C:\\other", "x");
    ASSERT_TRUE(CreateDirectoryW(u"C:\\dir", nullptr));
    HANDLE file = Open(u"C:\\i", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE second = Open(u"C:\\i", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE other = Open(u"C:\\other", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE dir = Open(u"C:\\dir", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    FILETIME written{0x22222222, 0x01D00000};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    DWORD n;
    ASSERT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 5u);
    ASSERT_TRUE(WriteFile(file, "67", 2, &n, nullptr)); // seen at once, through every handle

    BY_HANDLE_FILE_INFORMATION info{}, again{}, theOther{}, ofDir{};
    ASSERT_TRUE(GetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.dwFileAttributes, DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(info.nFileSizeLow, 7u);
    EXPECT_EQ(info.nFileSizeHigh, 0u);
    EXPECT_EQ(info.nNumberOfLinks, 1u);
    EXPECT_EQ(info.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime);
    FILETIME creation{}, access{};
    ASSERT_TRUE(GetFileTime(file, &creation, &access, nullptr));
    EXPECT_EQ(info.ftCreationTime.dwLowDateTime, creation.dwLowDateTime);
    EXPECT_EQ(info.ftLastAccessTime.dwLowDateTime, access.dwLowDateTime);

    // The volume serial and the index identify the file, whichever handle asks.
    ASSERT_TRUE(GetFileInformationByHandle(second, &again));
    ASSERT_TRUE(GetFileInformationByHandle(other, &theOther));
    EXPECT_EQ(again.dwVolumeSerialNumber, info.dwVolumeSerialNumber);
    EXPECT_EQ(again.nFileIndexLow, info.nFileIndexLow);
    EXPECT_EQ(again.nFileIndexHigh, info.nFileIndexHigh);
    EXPECT_EQ(again.nFileSizeLow, 7u);
    EXPECT_NE(std::make_pair(theOther.nFileIndexHigh, theOther.nFileIndexLow),
              std::make_pair(info.nFileIndexHigh, info.nFileIndexLow));
    EXPECT_EQ(theOther.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(GetFileInformationByHandle(dir, &ofDir));
    EXPECT_EQ(ofDir.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(ofDir.nFileSizeLow, 0u);

    EXPECT_FALSE(GetFileInformationByHandle(file, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetFileInformationByHandle(reinterpret_cast<HANDLE>(0x7777), &info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    HANDLE dataOnly = Open(u"C:\\other", FILE_READ_DATA, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(GetFileInformationByHandle(dataOnly, &info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    for (HANDLE handle : {file, second, other, dir, dataOnly})
        CloseHandle(handle);
}

TEST_F(FileTest, DeleteOnCloseWaitsForTheLastHandle)
{
    HANDLE first = Open(u"C:\\tmp", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                        FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE reader = Open(u"C:\\tmp", GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(first);
    EXPECT_NE(GetFileAttributesW(u"C:\\tmp"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Open(u"C:\\tmp", GENERIC_READ, 7, OPEN_EXISTING), INVALID_HANDLE_VALUE); // delete pending
    CloseHandle(reader);
    EXPECT_EQ(GetFileAttributesW(u"C:\\tmp"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(std::filesystem::exists(sandbox.Root() / "C" / "tmp:meta"));
}

TEST_F(FileTest, SidecarsAreInvisible)
{
    Write(u"C:\\only", "x", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "only:meta"));
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"C:\\only*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindNextFileW(search, &data));
    FindClose(search);
    EXPECT_EQ(GetFileAttributesW(u"C:\\only:meta"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
}

} // namespace
