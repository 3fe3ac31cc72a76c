#include "zip_fixture.h"

#include "ZipBytes.h"
#include "ZipCrypto.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace ziptest
{
namespace
{

void PutText(Bytes* out, const std::string& text)
{
    out->insert(out->end(), text.begin(), text.end());
}

Bytes Deflate(const std::string& data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&stream, data.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

} // namespace

Bytes BuildArchive(const std::vector<TestEntry>& entries, size_t junk)
{
    Bytes out(junk, 0x5A);
    Bytes directory;
    for (const TestEntry& entry : entries) {
        uint32_t crc = entry.crc >= 0
                           ? static_cast<uint32_t>(entry.crc)
                           : static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                                         static_cast<uInt>(entry.data.size())));
        Bytes body = entry.method == 8 ? Deflate(entry.data) : Bytes(entry.data.begin(), entry.data.end());
        uint16_t flags = entry.descriptor ? 8 : 0;
        if (entry.password != nullptr) {
            flags |= 1;
            ZipCryptoKeys keys(entry.password);
            Bytes header(kZipCryptHeaderSize, 0x33);
            header.back() = entry.checkByte >= 0 ? static_cast<uint8_t>(entry.checkByte)
                            : entry.descriptor   ? static_cast<uint8_t>(kDosTime >> 8)
                                                 : static_cast<uint8_t>(crc >> 24);
            header.insert(header.end(), body.begin(), body.end());
            keys.Encrypt(header.data(), header.size());
            body = header;
        }
        uint32_t offset = static_cast<uint32_t>(out.size() - junk);
        auto header = [&](Bytes* to, bool local) {
            ZipPut32(to, local ? 0x04034B50 : 0x02014B50);
            if (!local)
                ZipPut16(to, entry.madeBy);
            ZipPut16(to, 20);
            ZipPut16(to, flags);
            ZipPut16(to, local && entry.localMethod >= 0 ? entry.localMethod : entry.method);
            ZipPut16(to, kDosTime);
            ZipPut16(to, kDosDate);
            ZipPut32(to, local && entry.localCrc >= 0 ? static_cast<uint32_t>(entry.localCrc) : crc);
            ZipPut32(to, static_cast<uint32_t>(body.size()));
            ZipPut32(to, static_cast<uint32_t>(entry.data.size()));
            ZipPut16(to, local && entry.localNameLength >= 0 ? entry.localNameLength : entry.name.size());
            ZipPut16(to, local ? entry.localExtra.size() : 0);
            if (!local) {
                ZipPut16(to, 0); // comment
                ZipPut16(to, 0); // disk
                ZipPut16(to, 0); // internal attributes
                ZipPut32(to, entry.external);
                ZipPut32(to, offset);
            }
            PutText(to, entry.name);
            if (local)
                to->insert(to->end(), entry.localExtra.begin(), entry.localExtra.end());
        };
        header(&out, true);
        out.insert(out.end(), body.begin(), body.end());
        if (entry.descriptor) {
            ZipPut32(&out, 0x08074B50);
            ZipPut32(&out, crc);
            ZipPut32(&out, static_cast<uint32_t>(body.size()));
            ZipPut32(&out, static_cast<uint32_t>(entry.data.size()));
        }
        header(&directory, false);
    }
    uint32_t directoryOffset = static_cast<uint32_t>(out.size() - junk);
    out.insert(out.end(), directory.begin(), directory.end());
    ZipPut32(&out, 0x06054B50);
    ZipPut16(&out, 0);
    ZipPut16(&out, 0);
    ZipPut16(&out, entries.size());
    ZipPut16(&out, entries.size());
    ZipPut32(&out, static_cast<uint32_t>(directory.size()));
    ZipPut32(&out, directoryOffset);
    ZipPut16(&out, 0);
    return out;
}

Bytes TimestampBlock(uint8_t flags, const std::vector<int32_t>& times, int sizeField)
{
    Bytes block;
    ZipPut16(&block, 0x5455);
    ZipPut16(&block, sizeField >= 0 ? static_cast<uint32_t>(sizeField) : 1 + 4 * times.size());
    block.push_back(flags);
    for (int32_t time : times)
        ZipPut32(&block, static_cast<uint32_t>(time));
    return block;
}

void WriteFileBytes(const char* path, const Bytes& bytes)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error(std::string("cannot create ") + path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadFileText(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string text;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &count, nullptr) && count > 0)
        text.append(buffer, count);
    CloseHandle(file);
    return text;
}

std::vector<std::string> ListTree(const std::string& root)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string name = std::filesystem::relative(entry.path(), root).generic_string();
        if (name.find(':') == std::string::npos) // the host's metadata sidecars
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes ReadDataFile(const std::string& name)
{
    std::ifstream in(std::string(BRENNICK_TEST_DATA) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace ziptest
