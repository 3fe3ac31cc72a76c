// Extraction: entries out to files, handles and memory, with the path guards, attributes and times,
// encryption, damaged archives and the result codes.
#include <gtest/gtest.h>

#include "ZipCrypto.h"
#include "ZipExtract.h"
#include "zip_fixture.h"

#include <host/files.h>
#include <host/process.h>
#include <host/timezone.h>

#include <cstring>
#include <string>

using namespace ziptest;

namespace
{

class ZipExtractTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        host::CurrentProcess().currentDirectory = u"C:\\";
        CreateDirectoryA("C:\\out", nullptr);
    }
    void TearDown() override
    {
        if (zip != nullptr) {
            EXPECT_EQ(CloseZipFile(zip), ZipResult::Success);
        }
    }

    ZipHandle* Open(const std::vector<TestEntry>& entries, const char* password = nullptr)
    {
        archive = BuildArchive(entries);
        zip = OpenZipFromMemory(archive.data(), static_cast<DWORD>(archive.size()), password);
        return zip;
    }

    static std::string LastResultText()
    {
        char text[128];
        FormatZipResult(kZipLastResult, text, sizeof(text));
        return text;
    }

    static ULONGLONG Ticks(const FILETIME& time)
    {
        return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    }

    host::FilesTemporarySandbox sandbox;
    Bytes archive;
    ZipHandle* zip = nullptr;
};

const std::string kLongText = [] {
    std::string text;
    for (int i = 0; text.size() < 40000; ++i)
        text += "line " + std::to_string(i) + " of a text that compresses well\n";
    return text.substr(0, 40000);
}();

TEST_F(ZipExtractTest, StoredAndDeflatedEntriesComeOutWhole)
{
    ASSERT_NE(Open({{"stored.bin", "plain bytes", 0}, {"dir/deflated.txt", kLongText, 8}}), nullptr);
    ZipEntryInfo info{};
    ASSERT_EQ(GetZipItem(zip, -1, &info), ZipResult::Success);
    EXPECT_EQ(info.index, 2);
    EXPECT_STREQ(info.name, "");
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(GetZipItem(zip, i, &info), ZipResult::Success);
        std::string target = std::string("C:\\out\\") + info.name;
        ASSERT_EQ(UnzipItemToFile(zip, i, target.c_str()), ZipResult::Success) << info.name;
    }
    EXPECT_EQ(info.compressedSize < info.uncompressedSize, true);
    EXPECT_EQ(ReadFileText("C:\\out\\stored.bin"), "plain bytes");
    EXPECT_EQ(ReadFileText("C:\\out\\dir\\deflated.txt"), kLongText);

    // Relative targets resolve against the base directory.
    ASSERT_EQ(SetExtractBaseDirectory(zip, "C:\\base"), ZipResult::Success);
    ASSERT_EQ(UnzipItemToFile(zip, 0, "a\\b\\copy.bin"), ZipResult::Success);
    EXPECT_EQ(ReadFileText("C:\\base\\a\\b\\copy.bin"), "plain bytes");

    // To a caller's handle, which stays open.
    HANDLE file = CreateFileA("C:\\out\\by-handle", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_EQ(UnzipItemToHandle(zip, 1, file), ZipResult::Success);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(ReadFileText("C:\\out\\by-handle"), kLongText);
}

TEST_F(ZipExtractTest, ArgumentsAndHandleKinds)
{
    ASSERT_NE(Open({{"a.txt", "a"}}), nullptr);
    ZipEntryInfo info{};
    EXPECT_EQ(GetZipItem(zip, 1, &info), ZipResult::BadArguments);
    EXPECT_EQ(GetZipItem(zip, -2, &info), ZipResult::BadArguments);
    EXPECT_EQ(GetZipItem(nullptr, 0, &info), ZipResult::BadArguments);
    EXPECT_EQ(UnzipItemTo(zip, 0, nullptr, 0, 4), ZipResult::BadArguments);
    EXPECT_EQ(UnzipItemToFile(zip, 1, "C:\\out\\x"), ZipResult::BadArguments);
    EXPECT_EQ(LastResultText(), "Caller: faulty arguments");

    ZipHandle writer{kZipHandleWriter, nullptr};
    EXPECT_EQ(GetZipItem(&writer, 0, &info), ZipResult::WrongHandleKind);
    EXPECT_EQ(CloseZipFile(&writer), ZipResult::WrongHandleKind);
    EXPECT_FALSE(IsExtractHandle(&writer));
    EXPECT_TRUE(IsExtractHandle(zip));

    int index = 7;
    EXPECT_EQ(LocateZipEntry(zip, "A.TXT", false, &index, &info), ZipResult::EntryNotFound);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(info.index, -1);
    EXPECT_EQ(LocateZipEntry(zip, "A.TXT", true, &index, &info), ZipResult::Success);
    EXPECT_EQ(index, 0);
    EXPECT_STREQ(info.name, "a.txt");
}

TEST_F(ZipExtractTest, SourcesThatAreNotArchives)
{
    WriteFileBytes("C:\\not.zip", Bytes(500, 'x'));
    EXPECT_EQ(OpenZipFile("C:\\not.zip", nullptr), nullptr);
    EXPECT_EQ(LastResultText(), "Couldn't create/open file");
    EXPECT_EQ(OpenZipFile("C:\\missing.zip", nullptr), nullptr);
    EXPECT_EQ(LastResultText(), "Couldn't create/open file");
    EXPECT_EQ(OpenZipFromHandle(INVALID_HANDLE_VALUE, nullptr), nullptr);
    EXPECT_EQ(LastResultText(), "Zip-bug: trying to seek the unseekable");
}

TEST_F(ZipExtractTest, HandleSourceStartsAtItsPosition)
{
    Bytes bytes = BuildArchive({{"inner.txt", "behind the junk"}}, 1000);
    WriteFileBytes("C:\\junk.bin", bytes);
    HANDLE file =
        CreateFileA("C:\\junk.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER at{};
    at.QuadPart = 1000;
    ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
    zip = OpenZipFromHandle(file, nullptr);
    ASSERT_NE(zip, nullptr);
    char text[32] = {};
    EXPECT_EQ(UnzipItemToMemory(zip, 0, text, sizeof(text)), ZipResult::Success);
    EXPECT_STREQ(text, "behind the junk");
    EXPECT_EQ(CloseZipFile(zip), ZipResult::Success);
    zip = nullptr;
    EXPECT_TRUE(CloseHandle(file)); // the caller's handle stays open
}

TEST_F(ZipExtractTest, PathGuards)
{
    struct Case {
        const char* stored;
        const char* guarded; // null: refused
    } cases[] = {
        {"C:\\x\\y.txt", "x\\y.txt"},
        {"/abs/a", "abs/a"},
        {"x/../y.txt", "y.txt"},
        {"a/b/../c.txt", "c.txt"},
        {"..\\..\\evil.dll", "evil.dll"},
        {"../x/../../y", "y"},
        {"a/..", nullptr},
        {"..", nullptr},
        {"a/.. /b", nullptr},
        {"file.txt:stream", nullptr},
        {"C:", nullptr},
        {"//", nullptr},
        {"a/./b.txt", "a/./b.txt"},
    };
    std::vector<TestEntry> entries;
    for (const Case& c : cases)
        entries.push_back({c.stored, "data"});
    ASSERT_NE(Open(entries), nullptr);
    for (size_t i = 0; i < std::size(cases); ++i) {
        ZipEntryInfo info{};
        ZipResult result = GetZipItem(zip, static_cast<int>(i), &info);
        if (cases[i].guarded == nullptr) {
            EXPECT_EQ(result, ZipResult::BadArguments) << cases[i].stored;
        } else {
            EXPECT_EQ(result, ZipResult::Success) << cases[i].stored;
            EXPECT_STREQ(info.name, cases[i].guarded) << cases[i].stored;
        }
    }
}

TEST_F(ZipExtractTest, HostileArchiveLandsNothingOutsideTheTarget)
{
    ASSERT_NE(Open({{"../../evil.dll", "x"},
                    {"ok/../../up.txt", "x"},
                    {"sub/..", "x"},
                    {"..\\", "x"},
                    {"C:\\Windows\\System32\\drv.sys", "x"},
                    {"n.txt::$DATA", "x"},
                    {"d/.. ./e", "x"},
                    {"good.txt", "fine"}}),
              nullptr);
    ZipEntryInfo info{};
    ASSERT_EQ(GetZipItem(zip, -1, &info), ZipResult::Success);
    int count = info.index;
    // What the service does with its package: every entry below its own directory, by its guarded name.
    for (int i = 0; i < count; ++i) {
        if (GetZipItem(zip, i, &info) != ZipResult::Success)
            continue;
        std::string target = std::string("C:\\svc\\pkg\\") + info.name;
        EXPECT_EQ(UnzipItemToFile(zip, i, target.c_str()), ZipResult::Success) << info.name;
    }
    std::vector<std::string> landed = ListTree((sandbox.Root() / "C").string());
    std::vector<std::string> outside;
    for (const std::string& name : landed)
        if (name.rfind("svc", 0) != 0 && name.rfind("Windows", 0) != 0 && name != "out")
            outside.push_back(name);
    EXPECT_TRUE(outside.empty()) << outside.front();
    EXPECT_EQ(ReadFileText("C:\\svc\\pkg\\good.txt"), "fine");
    EXPECT_EQ(ReadFileText("C:\\svc\\pkg\\evil.dll"), "x");
    EXPECT_EQ(ReadFileText("C:\\svc\\pkg\\Windows\\System32\\drv.sys"), "x");
    EXPECT_EQ(ReadFileText("C:\\Windows\\System32\\drv.sys"), "<missing>");
}

TEST_F(ZipExtractTest, AttributesByHost)
{
    struct Case {
        uint16_t madeBy;
        uint32_t external;
        DWORD attributes;
    } cases[] = {
        {kHostUnix, 0100644u << 16, 0x20},
        {kHostUnix, 0100444u << 16, 0x21},
        {kHostUnix, 040755u << 16, 0x30},
        {kHostDos, 0x27, 0x27},
        {kHostDos, 0x10, 0x10},
        {0x0B14, 0x21, 0x21}, // NTFS
    };
    std::vector<TestEntry> entries;
    for (const Case& c : cases) {
        TestEntry entry{"e" + std::to_string(entries.size()), "x"};
        entry.madeBy = c.madeBy;
        entry.external = c.external;
        entries.push_back(entry);
    }
    ASSERT_NE(Open(entries), nullptr);
    for (size_t i = 0; i < std::size(cases); ++i) {
        ZipEntryInfo info{};
        ASSERT_EQ(GetZipItem(zip, static_cast<int>(i), &info), ZipResult::Success);
        EXPECT_EQ(info.attributes, cases[i].attributes) << i;
    }
}

TEST_F(ZipExtractTest, TimesFromDosAndExtendedTimestamp)
{
    host::TimeZoneSetBias(-120); // local time is UTC + 2 h
    const int32_t modified = 1600000000;
    TestEntry onlyModified{"m.txt", "m"};
    onlyModified.localExtra = TimestampBlock(1, {modified});
    TestEntry all{"all.txt", "a"};
    all.localExtra = TimestampBlock(7, {modified, modified + 1, modified + 2});
    // Announces three times but its size holds one: only the modification time is read.
    TestEntry shortBlock{"short.txt", "s"};
    shortBlock.localExtra = TimestampBlock(7, {modified, modified + 1, modified + 2}, 5);
    // Cut by the end of the extra field in the middle of the access time.
    TestEntry cut{"cut.txt", "c"};
    cut.localExtra = TimestampBlock(7, {modified, modified + 1}, 13);
    cut.localExtra.resize(cut.localExtra.size() - 2);
    ASSERT_NE(Open({onlyModified, all, shortBlock, cut}), nullptr);

    FILETIME local = zipdos::DosDateTimeToFileTime(kDosDate, kDosTime);
    const ULONGLONG kTicksPerSecond = 10000000ULL;
    ULONGLONG dos = Ticks(local) - 2 * 3600 * kTicksPerSecond;
    auto unix = [&](int32_t t) { return (ULONGLONG(t) + 11644473600ULL) * kTicksPerSecond; };
    ZipEntryInfo info{};
    for (int i : {0, 2, 3}) {
        ASSERT_EQ(GetZipItem(zip, i, &info), ZipResult::Success);
        EXPECT_EQ(Ticks(info.modificationTime), unix(modified)) << i;
        EXPECT_EQ(Ticks(info.accessTime), dos) << i;
        EXPECT_EQ(Ticks(info.creationTime), dos) << i;
    }
    ASSERT_EQ(GetZipItem(zip, 1, &info), ZipResult::Success);
    EXPECT_EQ(Ticks(info.accessTime), unix(modified + 1));
    EXPECT_EQ(Ticks(info.creationTime), unix(modified + 2));

    // The extracted file carries them.
    ASSERT_EQ(UnzipItemToFile(zip, 1, "C:\\out\\all.txt"), ZipResult::Success);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA("C:\\out\\all.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(Ticks(data.ftLastWriteTime), unix(modified));
    EXPECT_EQ(Ticks(data.ftCreationTime), unix(modified + 2));
    host::TimeZoneSetBias(0);
}

TEST_F(ZipExtractTest, DamagedEntriesAreCorrupt)
{
    TestEntry crc{"crc", "x"};
    crc.localCrc = 1;
    TestEntry method{"method", "x"};
    method.localMethod = 0;
    TestEntry nameLength{"name", "x"};
    nameLength.localNameLength = 3;
    TestEntry bzip2{"method12", "x", 12};
    ASSERT_NE(Open({crc, method, nameLength, bzip2}), nullptr);
    for (int i = 0; i < 4; ++i) {
        ZipEntryInfo info{};
        EXPECT_EQ(GetZipItem(zip, i, &info), ZipResult::CorruptArchive) << i;
        char block[8];
        EXPECT_EQ(UnzipItemToMemory(zip, i, block, sizeof(block)), ZipResult::CorruptArchive) << i;
    }
    EXPECT_EQ(ReadFileText("C:\\out\\crc"), "<missing>");
}

TEST_F(ZipExtractTest, CrcMismatchIsReportedAfterTheData)
{
    TestEntry stored{"stored", "stored data", 0};
    stored.crc = 0x12345678;
    TestEntry deflated{"deflated", kLongText};
    deflated.crc = 0x12345678;
    ASSERT_NE(Open({stored, deflated}), nullptr);
    EXPECT_EQ(UnzipItemToFile(zip, 0, "C:\\out\\stored"), ZipResult::CorruptArchive);
    EXPECT_EQ(ReadFileText("C:\\out\\stored"), "stored data"); // the partial file stays
    EXPECT_EQ(UnzipItemToFile(zip, 1, "C:\\out\\deflated"), ZipResult::CorruptArchive);
    std::string block(kLongText.size() + 1, '\0');
    EXPECT_EQ(UnzipItemToMemory(zip, 1, block.data(), DWORD(block.size())), ZipResult::CorruptArchive);
}

TEST_F(ZipExtractTest, EncryptedEntries)
{
    TestEntry stored{"stored", "secret stored", 0};
    TestEntry deflated{"deflated", kLongText};
    deflated.descriptor = true; // check byte from the DOS time
    TestEntry badCheck{"badcheck", "x", 0};
    badCheck.checkByte = 0x00;
    for (TestEntry* entry : {&stored, &deflated, &badCheck})
        entry->password = "pw";
    std::vector<TestEntry> entries{stored, deflated, badCheck};
    for (const char* password : {static_cast<const char*>(nullptr), "wrong"}) {
        ASSERT_NE(Open(entries, password), nullptr);
        EXPECT_EQ(UnzipItemToFile(zip, 0, "C:\\out\\stored"), ZipResult::PasswordRequired);
        EXPECT_EQ(ReadFileText("C:\\out\\stored"), "");
        char block[16];
        EXPECT_EQ(UnzipItemToMemory(zip, 1, block, sizeof(block)), ZipResult::PasswordRequired);
        EXPECT_EQ(LastResultText(), "Correct password required");
        EXPECT_EQ(CloseZipFile(zip), ZipResult::Success);
        zip = nullptr;
    }
    ASSERT_NE(Open(entries, "pw"), nullptr);
    EXPECT_EQ(UnzipItemToFile(zip, 0, "C:\\out\\stored"), ZipResult::Success);
    EXPECT_EQ(ReadFileText("C:\\out\\stored"), "secret stored");
    EXPECT_EQ(UnzipItemToFile(zip, 1, "C:\\out\\deflated"), ZipResult::Success);
    EXPECT_EQ(ReadFileText("C:\\out\\deflated"), kLongText);
    EXPECT_EQ(UnzipItemToFile(zip, 2, "C:\\out\\badcheck"), ZipResult::PasswordRequired);
}

// An archive encrypted by another tool (zip -P secret) and the cipher's key schedule: a round trip
// through our own writer could not tell a symmetric mistake.
TEST_F(ZipExtractTest, ArchiveEncryptedByAnotherTool)
{
    ZipCryptoKeys keys("secret");
    EXPECT_EQ(keys.Key(0), 0xDDA9E469u);
    EXPECT_EQ(keys.Key(1), 0x96212999u);
    EXPECT_EQ(keys.Key(2), 0xF9FC9651u);

    archive = ReadDataFile("encrypted.zip");
    ASSERT_FALSE(archive.empty());
    WriteFileBytes("C:\\package.flz", archive);
    zip = OpenZipFile("C:\\package.flz", "secret");
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(SetExtractBaseDirectory(zip, "C:\\out"), ZipResult::Success);
    ZipEntryInfo info{};
    ASSERT_EQ(GetZipItem(zip, -1, &info), ZipResult::Success);
    ASSERT_EQ(info.index, 2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(GetZipItem(zip, i, &info), ZipResult::Success);
        EXPECT_EQ(UnzipItemToFile(zip, i, info.name), ZipResult::Success) << info.name;
    }
    std::string hello;
    for (int i = 0; i < 20; ++i)
        hello += "Hello from an archive encrypted by another tool.\n";
    EXPECT_EQ(ReadFileText("C:\\out\\hello.txt"), hello);
    EXPECT_EQ(ReadFileText("C:\\out\\raw.bin"), std::string("stored bytes\x00\x01\x02", 15));
}

TEST_F(ZipExtractTest, MemoryTargetInParts)
{
    ASSERT_NE(Open({{"big", kLongText}, {"empty", ""}}), nullptr);
    std::string out;
    char block[16384];
    ZipResult results[3];
    for (ZipResult& result : results) {
        std::memset(block, 0, sizeof(block));
        result = UnzipItemToMemory(zip, 0, block, sizeof(block));
        out.append(block, std::min<size_t>(sizeof(block), kLongText.size() - out.size()));
    }
    EXPECT_EQ(results[0], ZipResult::MoreData);
    EXPECT_EQ(results[1], ZipResult::MoreData);
    EXPECT_EQ(results[2], ZipResult::Success);
    EXPECT_EQ(out, kLongText);
    EXPECT_EQ(UnzipItemToMemory(zip, 1, block, sizeof(block)), ZipResult::Success);
}

TEST_F(ZipExtractTest, TargetsOnDisk)
{
    TestEntry directory{"deep/er/dir/", ""};
    directory.external = 040755u << 16;
    ASSERT_NE(Open({{"file.txt", "new"}, directory, {"empty.txt", ""}}), nullptr);

    WriteFileBytes("C:\\out\\file.txt", Bytes{'o', 'l', 'd'});
    ASSERT_TRUE(SetFileAttributesA("C:\\out\\file.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(UnzipItemToFile(zip, 0, "C:\\out\\file.txt"), ZipResult::CannotOpenFile);
    EXPECT_EQ(ReadFileText("C:\\out\\file.txt"), "old");

    EXPECT_EQ(UnzipItemToFile(zip, 1, "C:\\out\\a\\b\\c"), ZipResult::Success);
    EXPECT_EQ(GetFileAttributesA("C:\\out\\a\\b\\c") & FILE_ATTRIBUTE_DIRECTORY,
              DWORD(FILE_ATTRIBUTE_DIRECTORY));

    ZipEntryInfo info{};
    ASSERT_EQ(GetZipItem(zip, 2, &info), ZipResult::Success);
    EXPECT_EQ(UnzipItemToFile(zip, 2, "C:\\out\\empty.txt"), ZipResult::Success);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA("C:\\out\\empty.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_EQ(Ticks(data.ftLastWriteTime), Ticks(info.modificationTime));
}

TEST_F(ZipExtractTest, LongNamesAndPaths)
{
    std::string longName(300, 'n');
    ASSERT_NE(Open({{longName, "x"}, {"short", "x"}}), nullptr);
    ZipEntryInfo info{};
    EXPECT_EQ(GetZipItem(zip, 0, &info), ZipResult::BadArguments);
    EXPECT_EQ(LocateZipEntry(zip, longName.c_str(), false, nullptr, nullptr), ZipResult::EntryNotFound);

    std::string longPath = "C:\\out\\" + std::string(260, 'p');
    EXPECT_EQ(UnzipItemToFile(zip, 1, longPath.c_str()), ZipResult::BadArguments);
    EXPECT_EQ(SetExtractBaseDirectory(zip, std::string(259, 'b').c_str()), ZipResult::BadArguments);
    ASSERT_EQ(SetExtractBaseDirectory(zip, ("C:\\" + std::string(200, 'b')).c_str()), ZipResult::Success);
    EXPECT_EQ(UnzipItemToFile(zip, 1, std::string(60, 'r').c_str()), ZipResult::BadArguments);
}

TEST(ZipResultText, Messages)
{
    char text[5];
    EXPECT_EQ(FormatZipResult(0x500, text, sizeof(text)), 29u);
    EXPECT_STREQ(text, "File");
    char full[64];
    FormatZipResult(0x12345, full, sizeof(full));
    EXPECT_STREQ(full, "unknown zip result code");
    EXPECT_EQ(FormatZipResult(0x5000000, nullptr, 0), strlen("Zip-bug: an internal error during flation"));
}

} // namespace
