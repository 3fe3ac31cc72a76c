// Test archives built byte by byte, so that tests can also make malformed ones, and small helpers over
// the sandbox's files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ziptest
{

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kHostDos = 0x0014;                   // version made by: MS-DOS, 2.0
constexpr uint16_t kHostUnix = 0x0314;                  // version made by: Unix, 2.0
constexpr uint16_t kDosDate = (41 << 9) | (3 << 5) | 4; // 2021-03-04
constexpr uint16_t kDosTime = (5 << 11) | (6 << 5) | 4; // 05:06:08

struct TestEntry {
    TestEntry(std::string entryName, std::string entryData, uint16_t entryMethod = 8)
        : name(std::move(entryName)), data(std::move(entryData)), method(entryMethod)
    {
    }

    std::string name;
    std::string data;
    uint16_t method = 8; // 8 deflates; any other value stores the data as it is
    uint16_t madeBy = kHostUnix;
    uint32_t external = 0100644u << 16;
    Bytes localExtra;
    const char* password = nullptr;
    int checkByte = -1;      // the encryption header's last byte; -1: the right one
    bool descriptor = false; // general flag bit 3 with a data descriptor after the data
    // Damage: what only the local header says differently.
    int localMethod = -1;
    int localNameLength = -1;
    int64_t localCrc = -1;
    // Damage: a CRC that both headers give wrongly.
    int64_t crc = -1;
};

// The archive, after `junk` bytes of anything.
Bytes BuildArchive(const std::vector<TestEntry>& entries, size_t junk = 0);

// An extended timestamp ("UT") block with the given flags and times, its size field as given.
Bytes TimestampBlock(uint8_t flags, const std::vector<int32_t>& times, int sizeField = -1);

// Sandbox files by Windows path.
void WriteFileBytes(const char* path, const Bytes& bytes);
std::string ReadFileText(const char* path);
// Every entry under the sandbox root, as paths relative to it.
std::vector<std::string> ListTree(const std::string& root);

Bytes ReadDataFile(const std::string& name);

} // namespace ziptest
