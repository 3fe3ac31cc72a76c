// The archive writer: records byte by byte, round trips through the extraction and through minizip's
// own reader, memory limits, ended archives, the guards against fields that would wrap, attributes read
// through source handles and archives written into a pipe.
#include <gtest/gtest.h>

#include "ZipBytes.h"
#include "ZipExtract.h"
#include "ZipWriter.h"
#include "host_test.h"
#include "zip_fixture.h"

#include <host/files.h>
#include <host/process.h>

#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

#include <unzip.h>

#include <string>

using namespace ziptest;

namespace
{

class ZipWriterTest : public testing::Test
{
  protected:
    void SetUp() override { host::CurrentProcess().currentDirectory = u"C:\\"; }

    // Every entry of an archive in memory, by name, as the extraction reads it.
    static std::vector<std::pair<std::string, std::string>> Extract(const void* block, DWORD length,
                                                                    const char* password)
    {
        std::vector<std::pair<std::string, std::string>> entries;
        ZipHandle* zip = OpenZipFromMemory(block, length, password);
        EXPECT_NE(zip, nullptr);
        if (zip == nullptr)
            return entries;
        ZipEntryInfo info{};
        GetZipItem(zip, -1, &info);
        for (int i = 0, count = info.index; i < count; ++i) {
            EXPECT_EQ(GetZipItem(zip, i, &info), ZipResult::Success);
            std::string data(size_t(info.uncompressedSize) + 1, '\0');
            EXPECT_EQ(UnzipItemToMemory(zip, i, data.data(), DWORD(data.size())), ZipResult::Success)
                << info.name;
            data.resize(size_t(info.uncompressedSize));
            entries.emplace_back(info.name, data);
        }
        CloseZipFile(zip);
        return entries;
    }

    host::FilesTemporarySandbox sandbox;
};

// What the central directory says of each entry.
struct CentralEntry {
    std::string name;
    uint32_t flags;
    uint32_t compressedSize;
    uint32_t externalAttributes;
    uint32_t offset;
};

std::vector<CentralEntry> CentralDirectory(const uint8_t* archive, size_t length)
{
    std::vector<CentralEntry> entries;
    const uint8_t* end = archive + length - 22;
    EXPECT_EQ(ZipLe32(end), 0x06054B50u);
    const uint8_t* at = archive + ZipLe32(end + 16);
    for (uint32_t i = 0, count = ZipLe16(end + 10); i < count; ++i) {
        EXPECT_EQ(ZipLe32(at), 0x02014B50u);
        entries.push_back({std::string(reinterpret_cast<const char*>(at + 46), ZipLe16(at + 28)), ZipLe16(at + 8),
                           ZipLe32(at + 20), ZipLe32(at + 38), ZipLe32(at + 42)});
        at += 46 + ZipLe16(at + 28) + ZipLe16(at + 30) + ZipLe16(at + 32);
    }
    return entries;
}

const std::string kText = [] {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "entry text " + std::to_string(i % 17) + "\n";
    return text;
}();

TEST_F(ZipWriterTest, RoundTripsThroughTheExtraction)
{
    WriteFileBytes("C:\\source.txt", Bytes(kText.begin(), kText.end()));
    for (const char* password : {static_cast<const char*>(nullptr), "pw"}) {
        SCOPED_TRACE(password != nullptr ? password : "no password");
        ZipHandle* zip = CreateZipInMemory(nullptr, 1 << 20, password);
        ASSERT_NE(zip, nullptr);
        EXPECT_EQ(AddMemoryToZip(zip, "dir\\deflated.txt", kText.data(), DWORD(kText.size())),
                  ZipResult::Success);
        EXPECT_EQ(AddMemoryToZip(zip, "inner.zip", "stored!", 7), ZipResult::Success);
        EXPECT_EQ(AddFolderToZip(zip, "drivers"), ZipResult::Success);
        EXPECT_EQ(AddFileToZip(zip, "file.txt", "C:\\source.txt"), ZipResult::Success);
        HANDLE file =
            CreateFileA("C:\\source.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(AddHandleToZip(zip, "handle.txt", file), ZipResult::Success);
        CloseHandle(file);
        void* block = nullptr;
        DWORD length = 0;
        ASSERT_EQ(GetZipMemory(zip, &block, &length), ZipResult::Success);
        auto entries = Extract(block, length, password);
        std::vector<std::pair<std::string, std::string>> expected{{"dir/deflated.txt", kText},
                                                                  {"inner.zip", "stored!"},
                                                                  {"drivers/", ""},
                                                                  {"file.txt", kText},
                                                                  {"handle.txt", kText}};
        EXPECT_EQ(entries, expected);
        EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
    }
}

// minizip's own reader (with its own inflate and CRC check) reads an archive the writer put in a file
// after other data on a caller's handle.
TEST_F(ZipWriterTest, MinizipReadsTheArchive)
{
    WriteFileBytes("C:\\out.bin", Bytes(100, 'j'));
    HANDLE file = CreateFileA("C:\\out.bin", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER end{};
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_END));
    ZipHandle* zip = CreateZipOnHandle(file, nullptr);
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(AddMemoryToZip(zip, "a.txt", kText.data(), DWORD(kText.size())), ZipResult::Success);
    EXPECT_EQ(AddMemoryToZip(zip, "b.gz", "raw", 3), ZipResult::Success);
    EXPECT_EQ(AddFolderToZip(zip, "d/"), ZipResult::Success);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
    EXPECT_TRUE(CloseHandle(file));

    std::string path = (sandbox.Root() / "C" / "out.bin").string();
    unzFile reader = unzOpen64(path.c_str());
    ASSERT_NE(reader, nullptr);
    std::vector<std::pair<std::string, std::string>> entries;
    for (int status = unzGoToFirstFile(reader); status == UNZ_OK; status = unzGoToNextFile(reader)) {
        char name[64];
        unz_file_info64 info{};
        ASSERT_EQ(unzGetCurrentFileInfo64(reader, &info, name, sizeof(name), nullptr, 0, nullptr, 0), UNZ_OK);
        ASSERT_EQ(unzOpenCurrentFile(reader), UNZ_OK);
        std::string data(info.uncompressed_size, '\0');
        EXPECT_EQ(unzReadCurrentFile(reader, data.data(), unsigned(data.size())), int(data.size()));
        EXPECT_EQ(unzCloseCurrentFile(reader), UNZ_OK) << name; // CRC checked
        entries.emplace_back(name, data);
    }
    unzClose(reader);
    std::vector<std::pair<std::string, std::string>> expected{{"a.txt", kText}, {"b.gz", "raw"}, {"d/", ""}};
    EXPECT_EQ(entries, expected);
}

TEST_F(ZipWriterTest, RecordsWithAndWithoutPassword)
{
    char block[4096];
    for (const char* password : {static_cast<const char*>(nullptr), "pw"}) {
        bool encrypted = password != nullptr;
        SCOPED_TRACE(encrypted);
        ZipHandle* zip = CreateZipInMemory(block, sizeof(block), password);
        ASSERT_NE(zip, nullptr);
        ASSERT_EQ(AddFolderToZip(zip, "drivers"), ZipResult::Success);
        ASSERT_EQ(AddMemoryToZip(zip, "s.arj", "0123456789", 10), ZipResult::Success);
        ASSERT_EQ(AddMemoryToZip(zip, "d.txt", kText.data(), DWORD(kText.size())), ZipResult::Success);
        void* out = nullptr;
        DWORD length = 0;
        ASSERT_EQ(GetZipMemory(zip, &out, &length), ZipResult::Success);
        const uint8_t* p = static_cast<const uint8_t*>(out);

        // The folder: never encrypted, no descriptor.
        EXPECT_EQ(ZipLe32(p), 0x04034B50u);
        EXPECT_EQ(ZipLe16(p + 6), 0u);
        EXPECT_EQ(ZipLe16(p + 8), 0u);
        EXPECT_EQ(ZipLe32(p + 18), 0u);
        EXPECT_EQ(ZipLe32(p + 22), 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 30), ZipLe16(p + 26)), "drivers/");
        EXPECT_EQ(ZipLe16(p + 28), 17u);
        const uint8_t* stored = p + 30 + 8 + 17;
        EXPECT_EQ(ZipLe32(stored), 0x04034B50u);
        EXPECT_EQ(ZipLe16(stored + 6), encrypted ? 9u : 0u);
        EXPECT_EQ(ZipLe16(stored + 8), 0u);
        const uint8_t* storedEnd = stored + 30 + 5 + 17 + 10 + (encrypted ? 12 : 0);
        if (encrypted) {
            EXPECT_EQ(ZipLe32(storedEnd), 0x08074B50u);
            EXPECT_EQ(ZipLe32(storedEnd + 8), 22u);
            storedEnd += 16;
        } else {
            EXPECT_EQ(ZipLe32(stored + 18), 10u);
        }
        const uint8_t* deflated = storedEnd;
        EXPECT_EQ(ZipLe32(deflated), 0x04034B50u);
        EXPECT_EQ(ZipLe16(deflated + 6), encrypted ? 9u : 2u);
        EXPECT_EQ(ZipLe16(deflated + 8), 8u);

        // The folder's central record.
        const uint8_t* end = p + length - 22;
        ASSERT_EQ(ZipLe32(end), 0x06054B50u);
        EXPECT_EQ(ZipLe16(end + 10), 3u);
        const uint8_t* central = p + ZipLe32(end + 16);
        EXPECT_EQ(ZipLe32(central), 0x02014B50u);
        EXPECT_EQ(ZipLe16(central + 4), 0x0B17u);
        EXPECT_EQ(ZipLe16(central + 30), 9u);
        EXPECT_EQ(ZipLe32(central + 38), 0x41C00010u);
        EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
    }
}

TEST_F(ZipWriterTest, MemoryLimitsAndEndedArchives)
{
    char small[100];
    ZipHandle* zip = CreateZipInMemory(small, sizeof(small), nullptr);
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(AddMemoryToZip(zip, "a.zip", kText.data(), 60), ZipResult::MemoryTooSmall);
    EXPECT_EQ(ZipLe32(reinterpret_cast<uint8_t*>(small)), 0x04034B50u); // the 52-byte header went out
    EXPECT_EQ(AddMemoryToZip(zip, "b", "b", 1), ZipResult::PreviousError);
    char text[64];
    FormatZipWriterResult(kZipLastResult, text, sizeof(text));
    EXPECT_STREQ(text, "Caller: there was a previous error");
    CloseZipWriter(zip);

    zip = CreateZipInMemory(small, 40, nullptr);
    EXPECT_EQ(AddMemoryToZip(zip, "a.zip", "x", 1), ZipResult::WriteFailed);
    EXPECT_EQ(AddMemoryToZip(zip, "a.zip", "x", 1), ZipResult::PreviousError);
    CloseZipWriter(zip);
    EXPECT_EQ(CreateZipInMemory(small, 0, nullptr), nullptr);

    zip = CreateZipInMemory(nullptr, 4096, nullptr);
    ASSERT_EQ(AddMemoryToZip(zip, "one", "1", 1), ZipResult::Success);
    ASSERT_EQ(AddMemoryToZip(zip, "two", "2", 1), ZipResult::Success);
    void* block = nullptr;
    DWORD length = 0;
    ASSERT_EQ(GetZipMemory(zip, &block, &length), ZipResult::Success);
    EXPECT_EQ(Extract(block, length, nullptr).size(), 2u);
    EXPECT_EQ(AddMemoryToZip(zip, "three", "3", 1), ZipResult::AdditionsEnded);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);

    zip = CreateZipFile("C:\\file.zip", nullptr);
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(GetZipMemory(zip, &block, &length), ZipResult::NotMemoryArchive);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);

    ZipHandle extract{kZipHandleExtract, nullptr};
    EXPECT_EQ(AddFolderToZip(&extract, "x"), ZipResult::WrongHandleKind);
    EXPECT_EQ(AddFolderToZip(nullptr, "x"), ZipResult::BadArguments);
}

TEST_F(ZipWriterTest, NamesAndTimes)
{
    struct Case {
        const char* name;
        bool stored;
    } cases[] = {{"a.ZIP", true},  {"a.Z", true},    {"x.tar.gz", true},
                 {"a.txt", false}, {"noext", false}, {"a.zipx", false}};
    for (const Case& c : cases)
        EXPECT_EQ(HasCompressedSuffix(c.name), c.stored) << c.name;

    WriteFileBytes("C:\\timed.txt", {'t'});
    HANDLE file = CreateFileA("C:\\timed.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SYSTEMTIME when{2020, 6, 0, 15, 12, 34, 57, 0};
    FILETIME written{};
    ASSERT_TRUE(SystemTimeToFileTime(&when, &written));
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);

    char block[1024];
    ZipHandle* zip = CreateZipInMemory(block, sizeof(block), nullptr);
    ASSERT_EQ(AddFileToZip(zip, "timed.txt", "C:\\timed.txt"), ZipResult::Success);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(block);
    EXPECT_EQ(ZipLe16(p + 10), 12u << 11 | 34u << 5 | 28u);
    EXPECT_EQ(ZipLe16(p + 12), (2020u - 1980) << 9 | 6u << 5 | 15u);

    EXPECT_EQ(AddMemoryToZip(zip, std::string(272, 'n').c_str(), "x", 1), ZipResult::BadArguments);
    EXPECT_EQ(AddFolderToZip(zip, std::string(271, 'n').c_str()), ZipResult::BadArguments);
    EXPECT_EQ(AddMemoryToZip(zip, "", "x", 1), ZipResult::BadArguments);
    EXPECT_EQ(AddFileToZip(zip, "missing", "C:\\missing.txt"), ZipResult::CannotOpenFile);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
}

// A file or handle source gives its Windows attributes (read through the handle) and a Unix mode that
// follows the read-only bit; bits other than read-only, hidden, system, directory and archive are dropped.
TEST_F(ZipWriterTest, SourceAttributesComeThroughTheHandle)
{
    struct Case {
        const char* path;
        DWORD attributes;
        uint32_t external;
    } cases[] = {
        {"C:\\plain.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY, 0100600u << 16 | 0x20},
        {"C:\\locked.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
         0100400u << 16 | 0x07},
        {"C:\\kept.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, 0100400u << 16 | 0x21},
    };
    char block[8192];
    ZipHandle* zip = CreateZipInMemory(block, sizeof(block), nullptr);
    ASSERT_NE(zip, nullptr);
    for (const Case& c : cases) {
        WriteFileBytes(c.path, {'x'});
        ASSERT_TRUE(SetFileAttributesA(c.path, c.attributes));
        EXPECT_EQ(AddFileToZip(zip, c.path + 3, c.path), ZipResult::Success);
        HANDLE file = CreateFileA(c.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(AddHandleToZip(zip, c.path + 3, file), ZipResult::Success);
        CloseHandle(file);
    }
    void* out = nullptr;
    DWORD length = 0;
    ASSERT_EQ(GetZipMemory(zip, &out, &length), ZipResult::Success);
    std::vector<CentralEntry> entries = CentralDirectory(static_cast<const uint8_t*>(out), length);
    ASSERT_EQ(entries.size(), 2 * std::size(cases));
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].externalAttributes, cases[i / 2].external) << entries[i].name << " #" << i;
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
}

// An output that cannot be positioned (a pipe): no local header is rewritten, so every entry carries a
// data descriptor, and a stored stream of unknown size cannot be finished. A reader thread takes the
// archive from the pipe's other end as it is written.
TEST_F(ZipWriterTest, PipeOutputGetsDataDescriptors)
{
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    ASSERT_TRUE(CreatePipe(&outRead, &outWrite, nullptr, 512)); // far smaller than the archive
    Bytes archive;
    HANDLE reader = hosttest::StartThread([&] {
        uint8_t buffer[1000];
        DWORD n = 0;
        while (ReadFile(outRead, buffer, sizeof(buffer), &n, nullptr))
            archive.insert(archive.end(), buffer, buffer + n);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    });
    // Stream sources: pipes already filled and closed behind.
    auto stream = [](const std::string& data) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        DWORD n = 0;
        EXPECT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16));
        EXPECT_TRUE(WriteFile(write, data.data(), DWORD(data.size()), &n, nullptr));
        CloseHandle(write);
        return read;
    };
    WriteFileBytes("C:\\source.txt", Bytes(kText.begin(), kText.end()));

    ZipHandle* zip = CreateZipOnHandle(outWrite, nullptr);
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(AddMemoryToZip(zip, "deflated.txt", kText.data(), DWORD(kText.size())), ZipResult::Success);
    EXPECT_EQ(AddMemoryToZip(zip, "stored.zip", kText.data(), DWORD(kText.size())), ZipResult::Success);
    EXPECT_EQ(AddFolderToZip(zip, "folder"), ZipResult::Success);
    EXPECT_EQ(AddFileToZip(zip, "file.txt", "C:\\source.txt"), ZipResult::Success);
    HANDLE source = stream(kText);
    EXPECT_EQ(AddHandleToZip(zip, "stream.txt", source), ZipResult::Success);
    CloseHandle(source);
    source = stream("unknown size");
    EXPECT_EQ(AddHandleToZip(zip, "unknown.gz", source), ZipResult::CannotChangeMind);
    CloseHandle(source);
    source = stream("sized");
    EXPECT_EQ(AddHandleToZipSized(zip, "sized.gz", source, 5), ZipResult::Success);
    CloseHandle(source);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
    CloseHandle(outWrite);
    hosttest::JoinThread(reader);

    // The failed entry's bytes stay in the stream but not in the directory.
    std::vector<CentralEntry> central = CentralDirectory(archive.data(), archive.size());
    ASSERT_EQ(central.size(), 6u);
    for (const CentralEntry& entry : central) {
        SCOPED_TRACE(entry.name);
        const uint8_t* local = archive.data() + entry.offset;
        ASSERT_EQ(ZipLe32(local), 0x04034B50u);
        EXPECT_EQ(ZipLe16(local + 6), 8u);
        EXPECT_EQ(entry.flags, 8u);
        const uint8_t* descriptor = local + 30 + ZipLe16(local + 26) + ZipLe16(local + 28) + entry.compressedSize;
        EXPECT_EQ(ZipLe32(descriptor), 0x08074B50u);
        EXPECT_EQ(ZipLe32(descriptor + 8), entry.compressedSize);
    }
    EXPECT_EQ(central[4].externalAttributes, 0x80000000u); // a stream has no attributes of its own
    EXPECT_EQ(central[3].externalAttributes, 0100600u << 16 | FILE_ATTRIBUTE_ARCHIVE);

    auto entries = Extract(archive.data(), DWORD(archive.size()), nullptr);
    std::vector<std::pair<std::string, std::string>> expected{
        {"deflated.txt", kText}, {"stored.zip", kText},  {"folder/", ""},
        {"file.txt", kText},     {"stream.txt", kText}, {"sized.gz", "sized"}};
    EXPECT_EQ(entries, expected);

    // The extraction needs a source it can position.
    EXPECT_EQ(OpenZipFromHandle(outRead, nullptr), nullptr);
    char text[64];
    FormatZipResult(kZipLastResult, text, sizeof(text));
    EXPECT_STREQ(text, "Zip-bug: trying to seek the unseekable");
    CloseHandle(outRead);
}

// Without ZIP64 the entry count is a 16-bit field: the 65,536th entry is refused, not wrapped.
TEST_F(ZipWriterTest, EntryCountDoesNotWrap)
{
    ZipHandle* zip = CreateZipInMemory(nullptr, 8 << 20, nullptr);
    ASSERT_NE(zip, nullptr);
    for (DWORD i = 0; i < kZipWriterMaxEntries; ++i)
        ASSERT_EQ(AddFolderToZip(zip, "d"), ZipResult::Success) << i;
    EXPECT_EQ(AddFolderToZip(zip, "d"), ZipResult::BadArguments);
    void* block = nullptr;
    DWORD length = 0;
    ASSERT_EQ(GetZipMemory(zip, &block, &length), ZipResult::Success);
    ZipHandle* reader = OpenZipFromMemory(block, length, nullptr);
    ASSERT_NE(reader, nullptr);
    ZipEntryInfo info{};
    EXPECT_EQ(GetZipItem(reader, -1, &info), ZipResult::Success);
    EXPECT_EQ(info.index, 65535);
    CloseZipFile(reader);
    EXPECT_EQ(CloseZipWriter(zip), ZipResult::Success);
}

} // namespace
