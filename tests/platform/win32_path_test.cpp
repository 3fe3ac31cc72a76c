// Windows paths in the sandbox: normalisation, refused names, case-insensitive lookup, the A functions'
// limits, GetFullPathName, GetTempPath and the device branch of CreateFile.
#include <gtest/gtest.h>

#include <host/files.h>
#include <host/process.h>
#include <windows.h>

#include <fstream>
#include <string>

namespace
{

class PathTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        host::CurrentProcess().currentDirectory = u"C:\\Work\\Sub";
        std::filesystem::create_directories(sandbox.Root() / "C" / "Work" / "Sub");
    }

    host::FilesTemporarySandbox sandbox;
};

TEST_F(PathTest, NormalisesLikeWin32)
{
    struct Case {
        std::u16string_view path;
        std::u16string_view full;
    } cases[] = {
        {u"C:\\a\\b.txt", u"C:\\a\\b.txt"},
        {u"c:/a/b.txt", u"C:\\a\\b.txt"},
        {u"C:\\a\\\\.\\b\\..\\c", u"C:\\a\\c"},
        {u"C:\\..\\..\\..\\..\\x", u"C:\\x"},
        {u"..\\..\\..\\..\\..\\..\\y", u"C:\\y"},
        {u"name.txt", u"C:\\Work\\Sub\\name.txt"},
        {u"..\\other", u"C:\\Work\\other"},
        {u"\\rooted", u"C:\\rooted"},
        {u"C:drive-relative", u"C:\\Work\\Sub\\drive-relative"},
        {u"D:other-drive", u"D:\\other-drive"},
        {u"C:\\dir. . \\file.txt. ..", u"C:\\dir\\file.txt"},
        {u"\\\\?\\C:\\kept\\as-is", u"\\\\?\\C:\\kept\\as-is"},
        {u"\\\\.\\C:\\x", u"C:\\x"},
        {u"C:\\", u"C:\\"},
    };
    for (const Case& c : cases) {
        host::FilesResolved resolved;
        ASSERT_EQ(host::FilesResolve(c.path, &resolved), ULONG(ERROR_SUCCESS))
            << std::string(c.path.begin(), c.path.end());
        EXPECT_EQ(resolved.windowsPath, c.full) << std::string(c.path.begin(), c.path.end());
    }
}

TEST_F(PathTest, RefusesBadNames)
{
    struct Case {
        std::u16string path;
        ULONG error;
    } cases[] = {
        {u"", ERROR_PATH_NOT_FOUND},
        {u"C:\\a<b", ERROR_INVALID_NAME},
        {u"C:\\a>b", ERROR_INVALID_NAME},
        {u"C:\\a\"b", ERROR_INVALID_NAME},
        {u"C:\\a|b", ERROR_INVALID_NAME},
        {u"C:\\a?b", ERROR_INVALID_NAME},
        {u"C:\\a*b", ERROR_INVALID_NAME},
        {u"C:\\a:b", ERROR_INVALID_NAME},
        {u"C:\\a\x01"
         u"b",
         ERROR_INVALID_NAME},
        {std::u16string(u"C:\\a\0b", 6), ERROR_INVALID_NAME},
        {u"C:\\bad\xD800", ERROR_INVALID_NAME},
        {u"\\\\?\\C:\\a\\..\\b", ERROR_INVALID_NAME},
        {u"\\\\server\\share\\x", ERROR_BAD_PATHNAME},
        {u"C:\\" + std::u16string(256, u'n'), ERROR_FILENAME_EXCED_RANGE},
        {u"C:\\" + std::u16string(90, u'\x20AC'), ERROR_FILENAME_EXCED_RANGE}, // 270 UTF-8 bytes on disk
        {u"C:\\" + std::u16string(120, u'a') + u"\\" + std::u16string(140, u'b'), ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        host::FilesResolved resolved;
        EXPECT_EQ(host::FilesResolve(c.path, &resolved), c.error) << c.path.size();
    }
}

TEST_F(PathTest, LongPathsNeedTheLiteralPrefix)
{
    std::u16string deep = u"\\\\?\\C:\\" + std::u16string(200, u'a') + u"\\" + std::u16string(200, u'b');
    host::FilesResolved resolved;
    EXPECT_EQ(host::FilesResolve(deep, &resolved), ULONG(ERROR_SUCCESS));
    EXPECT_FALSE(resolved.exists);
    EXPECT_FALSE(resolved.parentExists);
}

TEST_F(PathTest, DotDotNeverLeavesTheSandbox)
{
    std::u16string path = u"C:";
    for (int i = 0; i < 50; i++)
        path += u"\\..";
    path += u"\\escape.txt";
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "escape.txt"));
    EXPECT_FALSE(std::filesystem::exists(sandbox.Root().parent_path() / "escape.txt"));
}

TEST_F(PathTest, FindsNamesWhateverTheirCaseAndKeepsTheCaseOfNewOnes)
{
    std::filesystem::create_directories(sandbox.Root() / "C" / "Data");
    std::ofstream(sandbox.Root() / "C" / "Data" / "Foo.TXT") << "x";
    host::FilesResolved resolved;
    ASSERT_EQ(host::FilesResolve(u"c:\\DATA\\foo.txt", &resolved), ULONG(ERROR_SUCCESS));
    EXPECT_TRUE(resolved.exists);
    EXPECT_EQ(resolved.disk, sandbox.Root() / "C" / "Data" / "Foo.TXT");

    HANDLE file = CreateFileW(u"C:\\data\\NewName.Txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "Data" / "NewName.Txt"));
}

TEST_F(PathTest, AnsiNamesAreCodePage1252OnTheWayInAndUtf8OnDisk)
{
    // 0x80 is the euro sign and 0xE9 e-acute in code page 1252.
    HANDLE file = CreateFileA("C:\\caf\xE9 \x80.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(std::filesystem::exists(sandbox.Root() / "C" / "caf\xC3\xA9 \xE2\x82\xAC.txt"));
    EXPECT_NE(GetFileAttributesW(u"C:\\CAF\x00C9 \x20AC.TXT"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PathTest, AnsiFunctionsRefusePathsOfMaxPathCharacters)
{
    std::string at = "C:\\x\\" + std::string(MAX_PATH - 5, 'a');   // MAX_PATH characters
    std::string over = "C:\\x\\" + std::string(MAX_PATH - 4, 'a'); // one more
    EXPECT_EQ(CreateFileA(at.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND)); // the full-path limit
    EXPECT_EQ(CreateFileA(over.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE)); // the conversion buffer
}

TEST_F(PathTest, FullPathNameAndItsFilePart)
{
    WCHAR buffer[MAX_PATH];
    LPWSTR filePart = nullptr;
    DWORD n = GetFullPathNameW(u"..\\x\\name.ext", MAX_PATH, buffer, &filePart);
    EXPECT_EQ(std::u16string(buffer, n), u"C:\\Work\\x\\name.ext");
    ASSERT_NE(filePart, nullptr);
    EXPECT_EQ(std::u16string(filePart), u"name.ext");

    EXPECT_EQ(GetFullPathNameW(u"C:\\dir\\", MAX_PATH, buffer, &filePart), 7u);
    EXPECT_EQ(filePart, nullptr);

    // Too small: the size needed, terminator included.
    EXPECT_EQ(GetFullPathNameW(u"C:\\dir\\", 7, buffer, nullptr), 8u);

    char narrow[MAX_PATH];
    LPSTR narrowPart = nullptr;
    n = GetFullPathNameA("\xE9t\xE9\\f", MAX_PATH, narrow, &narrowPart);
    EXPECT_EQ(std::string(narrow, n), "C:\\Work\\Sub\\\xE9t\xE9\\f");
    EXPECT_STREQ(narrowPart, "f");
}

TEST_F(PathTest, TempPathIsInsideTheSandboxAndEndsWithABackslash)
{
    WCHAR buffer[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, buffer);
    EXPECT_EQ(std::u16string(buffer, n), u"C:\\Windows\\Temp\\");
    EXPECT_NE(GetFileAttributesW(buffer) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetTempPathW(3, buffer), n + 1);

    host::CurrentProcess().environment[u"TMP"] = u"C:\\Work\\..\\Tmp";
    char narrow[MAX_PATH];
    n = GetTempPathA(MAX_PATH, narrow);
    EXPECT_STREQ(narrow, "C:\\Tmp\\");
    host::CurrentProcess().environment.erase(u"TMP");
}

TEST_F(PathTest, DevicePathsGoToTheDeviceHandler)
{
    EXPECT_EQ(CreateFileA("\\\\.\\KvDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    std::u16string seen;
    host::FilesSetDeviceOpenHandler([&](const host::FilesDeviceOpen& open, ULONG* error) -> HANDLE {
        seen = open.path;
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    });
    EXPECT_EQ(CreateFileW(u"\\\\?\\pci#ven_1&dev_2#3&4#{guid}", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(seen, u"\\\\?\\pci#ven_1&dev_2#3&4#{guid}");
    host::FilesSetDeviceOpenHandler(nullptr);
}

TEST(PathWithoutSandbox, NothingExists)
{
    host::FilesSetSandbox({});
    EXPECT_EQ(GetFileAttributesW(u"C:\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

} // namespace
