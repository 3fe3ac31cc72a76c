// The C runtime's file functions over the sandbox: modes, text translation, positions, wide reads,
// share modes, descriptors and the calls on names.
#include <gtest/gtest.h>

#include <stdio.h>
#include <host/files.h>
#include <host/process.h>
#include <windows.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

namespace
{

class CrtFileTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        host::CurrentProcess().currentDirectory = u"C:\\App";
        std::filesystem::create_directories(sandbox.Root() / "C" / "App");
    }

    // What the file holds on disk, read past the emulation.
    std::string OnDisk(const char* name)
    {
        std::ifstream in(sandbox.Root() / "C" / "App" / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void PutOnDisk(const char* name, std::string_view data)
    {
        std::ofstream(sandbox.Root() / "C" / "App" / name, std::ios::binary).write(data.data(), data.size());
    }

    host::FilesTemporarySandbox sandbox;
};

TEST_F(CrtFileTest, TextModeWritesCrLfAndReadsItBack)
{
    FILE* file = nullptr;
    ASSERT_EQ(fopen_s(&file, "log.txt", "a+"), 0);
    fputs("one\n", file);
    fwrite("two\nthree", 1, 9, file);
    fclose(file);
    ASSERT_EQ(fopen_s(&file, "C:\\App\\LOG.TXT", "a+"), 0); // append keeps what is there
    fputs("\n", file);
    fclose(file);
    EXPECT_EQ(OnDisk("log.txt"), "one\r\ntwo\r\nthree\r\n");

    file = fopen("log.txt", "rt");
    ASSERT_NE(file, nullptr);
    char line[32];
    ASSERT_NE(fgets(line, sizeof(line), file), nullptr);
    EXPECT_STREQ(line, "one\n");
    EXPECT_EQ(ftell(file), 5); // the position in the file, CR included
    std::string rest(32, '\0');
    rest.resize(fread(rest.data(), 1, rest.size(), file));
    EXPECT_EQ(rest, "two\nthree\n");
    fclose(file);
}

TEST_F(CrtFileTest, TextReadsKeepLoneCrsAndStopAtCtrlZ)
{
    PutOnDisk("t", "a\rb\r\nc\x1A"
                   "after");
    FILE* file = fopen("t", "r");
    ASSERT_NE(file, nullptr);
    std::string text;
    for (int c; (c = fgetc(file)) != EOF;)
        text += char(c);
    EXPECT_EQ(text, "a\rb\nc");
    fclose(file);
}

TEST_F(CrtFileTest, BinaryModeKeepsBytesAndMeasuresBySeeking)
{
    FILE* file = fopen("bin", "wb");
    ASSERT_NE(file, nullptr);
    fwrite("x\ny\r\n", 1, 5, file);
    fclose(file);
    EXPECT_EQ(OnDisk("bin"), "x\ny\r\n");

    // How the service measures a file before reading it in one piece.
    ASSERT_EQ(fopen_s(&file, "bin", "rb"), 0);
    ASSERT_EQ(fseek(file, 0, SEEK_END), 0);
    EXPECT_EQ(ftell(file), 5);
    ASSERT_EQ(fseek(file, 0, SEEK_SET), 0);
    char buffer[8] = {};
    EXPECT_EQ(fread(buffer, 5, 1, file), 1u);
    EXPECT_EQ(std::string(buffer, 5), "x\ny\r\n");
    EXPECT_EQ(_filelength(_fileno(file)), 5);
    EXPECT_NE(_fileno(file), _fileno(stdout));
    fclose(file);
}

TEST_F(CrtFileTest, ModesAndErrors)
{
    FILE* file = reinterpret_cast<FILE*>(1);
    EXPECT_EQ(fopen_s(&file, "missing", "r"), ENOENT);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    for (const char* bad : {"", "q", "rw", "r++", "rtb", "r, ccs=KOI8", "rx"}) {
        errno = 0;
        EXPECT_EQ(fopen("x", bad), nullptr) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }
    EXPECT_EQ(fopen_s(nullptr, "x", "w"), EINVAL);
    EXPECT_EQ(fopen("a<b", "w"), nullptr);

    file = fopen("new", "wx");
    ASSERT_NE(file, nullptr);
    fclose(file);
    errno = 0;
    EXPECT_EQ(fopen("new", "wx"), nullptr);
    EXPECT_EQ(errno, EEXIST);

    // "w" empties the file, "r+" reads and writes in place.
    PutOnDisk("rw", "abcdef");
    file = fopen("rw", "r+b");
    fseek(file, 2, SEEK_SET);
    fputc('X', file);
    fclose(file);
    EXPECT_EQ(OnDisk("rw"), "abXdef");
    fclose(fopen("rw", "w"));
    EXPECT_EQ(OnDisk("rw"), "");
}

TEST_F(CrtFileTest, SecureOpensDenyWritersAndPlainOpensShare)
{
    FILE* reader = nullptr;
    PutOnDisk("shared", "x");
    ASSERT_EQ(fopen_s(&reader, "shared", "r"), 0);
    FILE* second = nullptr;
    EXPECT_EQ(fopen_s(&second, "shared", "r"), 0); // readers share with readers
    fclose(second);
    EXPECT_EQ(fopen_s(&second, "shared", "a"), EACCES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    fclose(reader);

    FILE* plain = fopen("shared", "a");
    FILE* other = fopen("shared", "r");
    EXPECT_NE(other, nullptr);
    fclose(other);
    EXPECT_EQ(_fsopen("shared", "r", _SH_DENYRW), nullptr); // the appender writes
    EXPECT_EQ(_fsopen("shared", "r", 0x99), nullptr);
    fclose(plain);
}

TEST_F(CrtFileTest, WideReads)
{
    struct Case {
        const char16_t* mode;
        std::string bytes;
        std::u16string first;
        std::u16string second;
    } cases[] = {
        {u"r", "caf\xE9\r\nend", u"caf\x00E9\n", u"end"},
        {u"rt, ccs=UTF-8",
         "\xEF\xBB\xBF"
         "caf\xC3\xA9 \xF0\x9F\x98\x80\r\nend",
         u"caf\x00E9 \xD83D\xDE00\n", u"end"},
        {u"r, ccs=UTF-16LE", std::string("\xFF\xFEh\0i\0\r\0\n\0z\0", 12), u"hi\n", u"z"},
        {u"rb", std::string("h\0i\0\r\0\n\0z\0", 10), u"hi\r\n", u"z"},
    };
    for (const Case& c : cases) {
        PutOnDisk("w.xml", c.bytes);
        FILE* file = nullptr;
        ASSERT_EQ(_wfopen_s(&file, u"w.xml", c.mode), 0);
        char16_t line[64];
        ASSERT_NE(fgetws(line, 64, file), nullptr);
        EXPECT_EQ(std::u16string(line), c.first);
        ASSERT_NE(fgetws(line, 64, file), nullptr);
        EXPECT_EQ(std::u16string(line), c.second);
        EXPECT_EQ(fgetws(line, 64, file), nullptr);
        fclose(file);
    }
    // A short buffer splits a line.
    PutOnDisk("w.xml", "abcdef\n");
    FILE* file = _wfopen(u"w.xml", u"r");
    char16_t part[4];
    ASSERT_NE(fgetws(part, 4, file), nullptr);
    EXPECT_EQ(std::u16string(part), u"abc");
    EXPECT_EQ(fgetws(part, 0, file), nullptr);
    fclose(file);
}

TEST_F(CrtFileTest, NamesAccessAndDescriptors)
{
    PutOnDisk("old", "x");
    EXPECT_EQ(_access("old", 0), 0);
    EXPECT_EQ(_access("gone", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_access("old", 1), -1);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(rename("old", "new"), 0);
    PutOnDisk("old", "y");
    EXPECT_EQ(rename("old", "new"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(remove("new"), 0);
    EXPECT_EQ(remove("new"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wrename(u"old", u"C:\\App\\renamed"), 0);
    SetFileAttributesW(u"renamed", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(_waccess(u"renamed", 2), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wremove(u"renamed"), -1);
    EXPECT_EQ(errno, EACCES);

    EXPECT_EQ(_filelength(99), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(_get_osfhandle(99), -1);
    FILE* a = fopen("a", "w");
    FILE* b = fopen("b", "w");
    int fa = _fileno(a);
    EXPECT_EQ(fa, 3);
    EXPECT_EQ(_fileno(b), 4);
    fputs("12345", a);
    fflush(a);
    EXPECT_EQ(_filelength(fa), 7 - 2); // no line feed, nothing translated
    EXPECT_NE(GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fa))), DWORD(FILE_TYPE_UNKNOWN));
    fclose(a);
    EXPECT_EQ(_filelength(fa), -1);
    FILE* c = fopen("c", "w"); // the lowest free descriptor again
    EXPECT_EQ(_fileno(c), 3);
    fclose(c);
    fclose(b);
}

TEST_F(CrtFileTest, DeleteOnCloseMode)
{
    FILE* file = fopen("scratch", "w+D");
    ASSERT_NE(file, nullptr);
    fputs("x", file);
    EXPECT_NE(GetFileAttributesA("scratch"), INVALID_FILE_ATTRIBUTES);
    fclose(file);
    EXPECT_EQ(GetFileAttributesA("scratch"), INVALID_FILE_ATTRIBUTES);
}

} // namespace
