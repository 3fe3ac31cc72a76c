// Entries are written with a provisional local header (sizes unknown, data descriptor flag); once the
// data is out, a positionable output gets the header rewritten with the final values, anything else
// gets a data descriptor. Data is deflated by zlib as a raw stream at level 8.
#include "ZipWriter.h"

#include "ZipBytes.h"
#include "ZipCrypto.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

ZipResult g_lastWriterResult = ZipResult::Success;

constexpr DWORD kBlockSize = 16384;
constexpr DWORD kDeflateInputSize = 65536;
constexpr int kDeflateLevel = 8;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagEncrypted = 0x1;
constexpr uint16_t kFlagMaximum = 0x2;
constexpr uint16_t kFlagDataDescriptor = 0x8;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kVersionMadeBy = 0x0B17; // NTFS host, format 2.3
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
constexpr uint32_t kStreamAttributes = 0x80000000;
constexpr uint32_t kFolderAttributes = 0x41C00010;
constexpr uint32_t kLocalExtraSize = 17;
constexpr uint32_t kCentralExtraSize = 9;
constexpr uint64_t kFieldLimit = 0xFFFFFFFF; // without ZIP64, sizes and offsets stay below this

// Unix time of a FILETIME (UTC).
uint32_t UnixTime(const FILETIME& time)
{
    ULONGLONG ticks = (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<uint32_t>(ticks / 10000000ULL - 11644473600ULL);
}

// DOS date in the high half, DOS time in the low half.
uint32_t DosDateTime(const SYSTEMTIME& time)
{
    uint32_t date = static_cast<uint32_t>((time.wYear - 1980) << 9 | time.wMonth << 5 | time.wDay);
    uint32_t clock = static_cast<uint32_t>(time.wHour << 11 | time.wMinute << 5 | time.wSecond / 2);
    return date << 16 | clock;
}

struct EntryHeader {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t dosDateTime = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t externalAttributes = 0;
    uint32_t modificationTime = 0;
    uint32_t accessTime = 0;
    uint32_t creationTime = 0;
    uint32_t offset = 0;
};

// The fields a local header and a central header share, from "version needed" to the name's length.
void PutCommonFields(Bytes* out, const EntryHeader& header, const std::string& name)
{
    ZipPut16(out, kVersionNeeded);
    ZipPut16(out, header.flags);
    ZipPut16(out, header.method);
    ZipPut32(out, header.dosDateTime);
    ZipPut32(out, header.crc);
    ZipPut32(out, header.compressedSize);
    ZipPut32(out, header.uncompressedSize);
    ZipPut16(out, static_cast<uint32_t>(name.size()));
}

Bytes LocalHeader(const EntryHeader& header, const std::string& name)
{
    Bytes out;
    ZipPut32(&out, 0x04034B50);
    PutCommonFields(&out, header, name);
    ZipPut16(&out, kLocalExtraSize);
    out.insert(out.end(), name.begin(), name.end());
    ZipPut16(&out, 0x5455);
    ZipPut16(&out, kLocalExtraSize - 4);
    out.push_back(7);
    ZipPut32(&out, header.modificationTime);
    ZipPut32(&out, header.accessTime);
    ZipPut32(&out, header.creationTime);
    return out;
}

Bytes CentralHeader(const EntryHeader& header, const std::string& name)
{
    Bytes out;
    ZipPut32(&out, 0x02014B50);
    ZipPut16(&out, kVersionMadeBy);
    PutCommonFields(&out, header, name);
    ZipPut16(&out, kCentralExtraSize);
    ZipPut16(&out, 0); // comment
    ZipPut16(&out, 0); // disk
    ZipPut16(&out, 0); // internal attributes
    ZipPut32(&out, header.externalAttributes);
    ZipPut32(&out, header.offset);
    out.insert(out.end(), name.begin(), name.end());
    ZipPut16(&out, 0x5455);
    ZipPut16(&out, kCentralExtraSize - 4);
    out.push_back(7);
    ZipPut32(&out, header.modificationTime);
    return out;
}

// Where an entry's data comes from.
struct EntrySource {
    HANDLE file = INVALID_HANDLE_VALUE;
    bool ownsFile = false;
    const uint8_t* block = nullptr;
    DWORD length = 0;
    DWORD read = 0;

    ~EntrySource()
    {
        if (ownsFile)
            CloseHandle(file);
    }

    // Up to `size` bytes; false when the source cannot be read.
    bool Read(uint8_t* buffer, DWORD size, DWORD* count)
    {
        *count = 0;
        if (block != nullptr) {
            *count = length - read < size ? length - read : size;
            memcpy(buffer, block + read, *count);
        } else if (file != INVALID_HANDLE_VALUE && !ReadFile(file, buffer, size, count, nullptr) &&
                   GetLastError() != ERROR_BROKEN_PIPE) { // a pipe's end of data: its writer closed
            return false;
        }
        read += *count;
        return true;
    }
};

class ZipWriterState
{
  public:
    ~ZipWriterState();

    ZipResult Create(DWORD kind, void* output, DWORD capacity, const char* password);
    ZipResult Add(const char* name, const void* source, DWORD length, DWORD kind);
    ZipResult WriteCentralDirectory();
    ZipResult GetMemory(void** block, DWORD* length);
    ZipResult Close();

  private:
    bool Write(const void* data, DWORD size);
    bool Seek(uint64_t position);
    bool WriteData(const uint8_t* data, DWORD size);
    ZipResult OpenSource(DWORD kind, const void* source, DWORD length, EntrySource* entry,
                         EntryHeader* header, int64_t* announced);
    ZipResult WriteStored(EntrySource* source, uint32_t* crc, uint64_t* written);
    ZipResult WriteDeflated(EntrySource* source, uint32_t* crc, uint64_t* written);

    bool hasOutput_ = false;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    bool ownsFile_ = false;
    uint8_t* block_ = nullptr;
    DWORD capacity_ = 0;
    HANDLE mapping_ = nullptr;
    uint64_t origin_ = 0;
    bool positionable_ = false;
    uint64_t position_ = 0;
    uint64_t end_ = 0;
    ZipResult latched_ = ZipResult::Success;
    bool ended_ = false;
    std::vector<Bytes> pending_;
    std::string password_;
    std::unique_ptr<ZipCryptoKeys> keys_;
    Bytes encryptBuffer_;
    std::unique_ptr<z_stream> deflate_;
};

ZipWriterState::~ZipWriterState()
{
    if (deflate_)
        deflateEnd(deflate_.get());
}

ZipResult ZipWriterState::Create(DWORD kind, void* output, DWORD capacity, const char* password)
{
    if (hasOutput_)
        return ZipResult::NotInitialised;
    switch (kind) {
    case kZipSourceHandle: {
        file_ = static_cast<HANDLE>(output);
        LARGE_INTEGER zero{}, at{};
        positionable_ = SetFilePointerEx(file_, zero, &at, FILE_CURRENT) != FALSE;
        origin_ = positionable_ ? static_cast<uint64_t>(at.QuadPart) : 0;
        break;
    }
    case kZipSourceFile:
        if (output == nullptr)
            return ZipResult::BadArguments;
        file_ = CreateFileA(static_cast<const char*>(output), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE)
            return ZipResult::CannotOpenFile;
        ownsFile_ = true;
        positionable_ = true;
        break;
    case kZipSourceMemory:
        if (capacity == 0)
            return ZipResult::MemoryTooSmall;
        block_ = static_cast<uint8_t*>(output);
        if (block_ == nullptr) {
            mapping_ =
                CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, capacity, nullptr);
            if (mapping_ != nullptr)
                block_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, capacity));
            if (block_ == nullptr)
                return ZipResult::OutOfMemory;
        }
        capacity_ = capacity;
        positionable_ = true;
        break;
    default:
        return ZipResult::BadArguments;
    }
    hasOutput_ = true;
    if (password != nullptr)
        password_ = password;
    return ZipResult::Success;
}

// Output errors of memory and positioning latch; every later add then fails.
bool ZipWriterState::Write(const void* data, DWORD size)
{
    if (latched_ != ZipResult::Success)
        return false;
    if (!hasOutput_) {
        latched_ = ZipResult::NotInitialised;
        return false;
    }
    if (block_ != nullptr) {
        // At most capacity - 1 bytes are ever taken.
        if (position_ + size >= capacity_) {
            latched_ = ZipResult::MemoryTooSmall;
            return false;
        }
        memcpy(block_ + position_, data, size);
    } else {
        DWORD written = 0;
        if (!WriteFile(file_, data, size, &written, nullptr) || written != size)
            return false;
    }
    position_ += size;
    end_ = position_ > end_ ? position_ : end_;
    return true;
}

bool ZipWriterState::Seek(uint64_t position)
{
    if (block_ != nullptr) {
        if (position >= capacity_) {
            latched_ = ZipResult::MemoryTooSmall;
            return false;
        }
    } else {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(origin_ + position);
        if (!positionable_ || !SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) {
            latched_ = ZipResult::NotSeekable;
            return false;
        }
    }
    position_ = position;
    return true;
}

// Entry data, encrypted on the way when a password is set.
bool ZipWriterState::WriteData(const uint8_t* data, DWORD size)
{
    if (!keys_)
        return Write(data, size);
    if (encryptBuffer_.size() < size)
        encryptBuffer_.resize(2 * size);
    memcpy(encryptBuffer_.data(), data, size);
    keys_->Encrypt(encryptBuffer_.data(), size);
    return Write(encryptBuffer_.data(), size);
}

ZipResult ZipWriterState::OpenSource(DWORD kind, const void* source, DWORD length, EntrySource* entry,
                                     EntryHeader* header, int64_t* announced)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME nowAsUtc{};
    // The current local time is taken as though it were UTC.
    SystemTimeToFileTime(&now, &nowAsUtc);
    header->modificationTime = header->accessTime = header->creationTime = UnixTime(nowAsUtc);
    header->dosDateTime = DosDateTime(now);
    header->externalAttributes = kStreamAttributes;
    switch (kind) {
    case kZipSourceFile:
        if (source == nullptr)
            return ZipResult::BadArguments;
        entry->file = CreateFileA(static_cast<const char*>(source), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (entry->file == INVALID_HANDLE_VALUE)
            return ZipResult::CannotOpenFile;
        entry->ownsFile = true;
        break;
    case kZipSourceHandle:
        if (source == nullptr || source == INVALID_HANDLE_VALUE)
            return ZipResult::BadArguments;
        entry->file = const_cast<HANDLE>(source);
        break;
    case kZipSourceMemory:
        if (source == nullptr || length == 0)
            return ZipResult::BadArguments;
        entry->block = static_cast<const uint8_t*>(source);
        entry->length = length;
        *announced = length;
        return ZipResult::Success;
    case kZipSourceFolder:
        header->externalAttributes = kFolderAttributes;
        *announced = 0;
        return ZipResult::Success;
    default:
        return ZipResult::BadArguments;
    }
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(entry->file, zero, &at, FILE_CURRENT)) {
        *announced = length != 0 ? length : -1; // a stream
        return ZipResult::Success;
    }
    // A positionable file: its attributes, size and times through the handle; read from its start.
    BY_HANDLE_FILE_INFORMATION file{};
    SYSTEMTIME writtenUtc{};
    if (!GetFileInformationByHandle(entry->file, &file) ||
        !FileTimeToSystemTime(&file.ftLastWriteTime, &writtenUtc) ||
        !SetFilePointerEx(entry->file, zero, nullptr, FILE_BEGIN))
        return ZipResult::CannotOpenFile;
    uint64_t size = uint64_t(file.nFileSizeHigh) << 32 | file.nFileSizeLow;
    if (size >= kFieldLimit)
        return ZipResult::SizeMismatch;
    *announced = static_cast<int64_t>(size);
    bool directory = file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    bool readOnly = file.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
    uint32_t mode = (directory ? 040000u : 0100000u) | (readOnly ? 0400u : 0600u);
    header->externalAttributes = mode << 16 | (file.dwFileAttributes & 0x37);
    header->modificationTime = UnixTime(file.ftLastWriteTime);
    header->accessTime = UnixTime(file.ftLastAccessTime);
    header->creationTime = UnixTime(file.ftCreationTime);
    header->dosDateTime = DosDateTime(writtenUtc);
    return ZipResult::Success;
}

ZipResult ZipWriterState::WriteStored(EntrySource* source, uint32_t* crc, uint64_t* written)
{
    uint8_t buffer[kBlockSize];
    for (;;) {
        DWORD count = 0;
        if (!source->Read(buffer, sizeof(buffer), &count))
            return ZipResult::ReadFailed;
        if (count == 0)
            return ZipResult::Success;
        *crc = static_cast<uint32_t>(crc32(*crc, buffer, count));
        if (!WriteData(buffer, count))
            return latched_ != ZipResult::Success ? latched_ : ZipResult::SizeMismatch;
        *written += count;
    }
}

ZipResult ZipWriterState::WriteDeflated(EntrySource* source, uint32_t* crc, uint64_t* written)
{
    if (!deflate_) {
        deflate_.reset(new (std::nothrow) z_stream{});
        if (!deflate_)
            return ZipResult::OutOfMemory;
        if (deflateInit2(deflate_.get(), kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            deflate_.reset();
            return ZipResult::OutOfMemory;
        }
        deflateTune(deflate_.get(), 32, 128, 258, 1024);
    } else if (deflateReset(deflate_.get()) != Z_OK) {
        return ZipResult::DeflateFailed;
    }
    std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[kDeflateInputSize]);
    if (!input)
        return ZipResult::OutOfMemory;
    uint8_t output[kBlockSize];
    z_stream& stream = *deflate_;
    int flush = Z_NO_FLUSH;
    do {
        DWORD count = 0;
        if (!source->Read(input.get(), kDeflateInputSize, &count))
            return ZipResult::ReadFailed;
        *crc = static_cast<uint32_t>(crc32(*crc, input.get(), count));
        flush = count == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input.get();
        stream.avail_in = count;
        do {
            stream.next_out = output;
            stream.avail_out = sizeof(output);
            if (deflate(&stream, flush) == Z_STREAM_ERROR)
                return ZipResult::DeflateFailed;
            DWORD produced = sizeof(output) - stream.avail_out;
            if (produced > 0 && !WriteData(output, produced))
                return latched_ != ZipResult::Success ? latched_ : ZipResult::WriteFailed;
            *written += produced;
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    return ZipResult::Success;
}

ZipResult ZipWriterState::Add(const char* name, const void* source, DWORD length, DWORD kind)
{
    if (latched_ != ZipResult::Success)
        return ZipResult::PreviousError;
    if (ended_)
        return ZipResult::AdditionsEnded;
    if (name == nullptr || name[0] == '\0')
        return ZipResult::BadArguments;
    // Names and entry counts beyond what the buffers and the record fields hold are refused.
    if (pending_.size() >= kZipWriterMaxEntries || strlen(name) > kZipWriterMaxName)
        return ZipResult::BadArguments;
    std::string stored(name);
    for (char& c : stored)
        if (c == '\\')
            c = '/';
    EntryHeader header;
    if (kind == kZipSourceFolder) {
        header.method = kMethodStored;
        if (stored.back() != '/')
            stored += '/';
        if (stored.size() > kZipWriterMaxName)
            return ZipResult::BadArguments;
    } else {
        header.method = HasCompressedSuffix(stored.c_str()) ? kMethodStored : kMethodDeflated;
    }

    EntrySource entry;
    int64_t announced = -1;
    ZipResult result = OpenSource(kind, source, length, &entry, &header, &announced);
    if (result != ZipResult::Success)
        return result;
    if (position_ + origin_ >= kFieldLimit)
        return ZipResult::SizeMismatch;

    bool encrypted = !password_.empty() && kind != kZipSourceFolder;
    header.flags = kFlagDataDescriptor | (encrypted ? kFlagEncrypted : 0);
    uint32_t headerBytes = encrypted ? kZipCryptHeaderSize : 0;
    bool sizeKnown = announced >= 0;
    header.compressedSize =
        header.method == kMethodDeflated || !sizeKnown ? 0 : static_cast<uint32_t>(announced) + headerBytes;
    header.uncompressedSize = sizeKnown ? static_cast<uint32_t>(announced) : kUnknownSize;
    header.offset = static_cast<uint32_t>(origin_ + position_);
    uint64_t headerPosition = position_;
    Bytes local = LocalHeader(header, stored);
    if (!Write(local.data(), static_cast<DWORD>(local.size())))
        return ZipResult::WriteFailed;

    keys_.reset();
    if (encrypted) {
        keys_.reset(new (std::nothrow) ZipCryptoKeys(password_.c_str()));
        if (!keys_)
            return ZipResult::OutOfMemory;
        srand(GetTickCount());
        uint8_t cryptHeader[kZipCryptHeaderSize];
        for (size_t i = 0; i + 1 < kZipCryptHeaderSize; ++i)
            cryptHeader[i] = static_cast<uint8_t>(rand() >> 7);
        // The CRC is not known yet, so the check byte is the DOS time's high byte.
        cryptHeader[kZipCryptHeaderSize - 1] = static_cast<uint8_t>(header.dosDateTime >> 8);
        if (!WriteData(cryptHeader, sizeof(cryptHeader)))
            return latched_ != ZipResult::Success ? latched_ : ZipResult::WriteFailed;
    }

    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t written = 0;
    if (kind != kZipSourceFolder)
        result = header.method == kMethodDeflated ? WriteDeflated(&entry, &crc, &written)
                                                  : WriteStored(&entry, &crc, &written);
    keys_.reset();
    if (latched_ != ZipResult::Success)
        return latched_;
    if (result != ZipResult::Success)
        return result;
    if (entry.read >= kFieldLimit || written + headerBytes >= kFieldLimit)
        return ZipResult::SizeMismatch;
    header.crc = crc;
    header.compressedSize = static_cast<uint32_t>(written + headerBytes);
    header.uncompressedSize = entry.read;

    if (positionable_ && !encrypted) {
        header.flags = header.method == kMethodDeflated ? kFlagMaximum : 0;
        uint64_t end = position_;
        if (!Seek(headerPosition))
            return ZipResult::NotSeekable;
        local = LocalHeader(header, stored);
        if (!Write(local.data(), static_cast<DWORD>(local.size())))
            return ZipResult::WriteFailed;
        if (!Seek(end))
            return ZipResult::NotSeekable;
    } else if (header.method == kMethodStored && sizeKnown &&
               header.compressedSize != static_cast<uint32_t>(announced) + headerBytes) {
        return ZipResult::CannotChangeMind;
    } else if (header.method == kMethodStored && !sizeKnown) {
        return ZipResult::CannotChangeMind;
    } else {
        Bytes descriptor;
        ZipPut32(&descriptor, 0x08074B50);
        ZipPut32(&descriptor, header.crc);
        ZipPut32(&descriptor, header.compressedSize);
        ZipPut32(&descriptor, header.uncompressedSize);
        if (!Write(descriptor.data(), static_cast<DWORD>(descriptor.size())))
            return latched_ != ZipResult::Success ? latched_ : ZipResult::WriteFailed;
    }
    pending_.push_back(CentralHeader(header, stored));
    return ZipResult::Success;
}

ZipResult ZipWriterState::WriteCentralDirectory()
{
    uint64_t start = position_;
    bool complete = true;
    for (const Bytes& record : pending_)
        if (complete && !Write(record.data(), static_cast<DWORD>(record.size())))
            complete = false;
    uint64_t size = position_ - start;
    size_t count = pending_.size();
    pending_.clear();
    ended_ = true;
    if (!complete)
        return ZipResult::WriteFailed;
    if (origin_ + start >= kFieldLimit)
        return ZipResult::SizeMismatch;
    Bytes end;
    ZipPut32(&end, 0x06054B50);
    ZipPut16(&end, 0);
    ZipPut16(&end, 0);
    ZipPut16(&end, static_cast<uint32_t>(count));
    ZipPut16(&end, static_cast<uint32_t>(count));
    ZipPut32(&end, static_cast<uint32_t>(size));
    ZipPut32(&end, static_cast<uint32_t>(origin_ + start));
    ZipPut16(&end, 0);
    return Write(end.data(), static_cast<DWORD>(end.size())) ? ZipResult::Success : ZipResult::WriteFailed;
}

ZipResult ZipWriterState::GetMemory(void** block, DWORD* length)
{
    ZipResult result = ended_ ? ZipResult::Success : WriteCentralDirectory();
    *block = block_;
    *length = static_cast<DWORD>(end_);
    if (block_ == nullptr)
        return ZipResult::NotMemoryArchive;
    return result;
}

ZipResult ZipWriterState::Close()
{
    ZipResult result = ended_ ? ZipResult::Success : WriteCentralDirectory();
    if (mapping_ != nullptr) {
        UnmapViewOfFile(block_);
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
    if (ownsFile_)
        CloseHandle(file_);
    ownsFile_ = false;
    return result;
}

ZipResult Record(ZipResult result)
{
    g_lastWriterResult = result;
    return result;
}

template <typename Operation> ZipResult OnState(ZipHandle* zip, Operation operation)
{
    return OnZipState<ZipWriterState>(zip, kZipHandleWriter, &g_lastWriterResult, operation);
}

ZipHandle* CreateZip(DWORD kind, void* output, DWORD capacity, const char* password)
{
    std::unique_ptr<ZipWriterState> state(new (std::nothrow) ZipWriterState);
    std::unique_ptr<ZipHandle> zip(new (std::nothrow) ZipHandle{kZipHandleWriter, nullptr});
    if (!state || !zip) {
        Record(ZipResult::OutOfMemory);
        return nullptr;
    }
    if (Record(state->Create(kind, output, capacity, password)) != ZipResult::Success) {
        state->Close();
        return nullptr;
    }
    zip->state = state.release();
    return zip.release();
}

} // namespace

ZipHandle* CreateZipFile(const char* path, const char* password)
{
    return CreateZip(kZipSourceFile, const_cast<char*>(path), 0, password);
}

ZipHandle* CreateZipOnHandle(HANDLE file, const char* password)
{
    return CreateZip(kZipSourceHandle, file, 0, password);
}

ZipHandle* CreateZipInMemory(void* block, DWORD capacity, const char* password)
{
    return CreateZip(kZipSourceMemory, block, capacity, password);
}

ZipResult AddToZip(ZipHandle* zip, const char* name, const void* source, DWORD length, DWORD kind)
{
    return OnState(zip, [&](ZipWriterState& state) { return state.Add(name, source, length, kind); });
}

ZipResult AddFileToZip(ZipHandle* zip, const char* name, const char* path)
{
    return AddToZip(zip, name, path, 0, kZipSourceFile);
}

ZipResult AddHandleToZip(ZipHandle* zip, const char* name, HANDLE file)
{
    return AddToZip(zip, name, file, 0, kZipSourceHandle);
}

ZipResult AddHandleToZipSized(ZipHandle* zip, const char* name, HANDLE file, DWORD size)
{
    return AddToZip(zip, name, file, size, kZipSourceHandle);
}

ZipResult AddMemoryToZip(ZipHandle* zip, const char* name, const void* block, DWORD length)
{
    return AddToZip(zip, name, block, length, kZipSourceMemory);
}

ZipResult AddFolderToZip(ZipHandle* zip, const char* name)
{
    return AddToZip(zip, name, nullptr, 0, kZipSourceFolder);
}

ZipResult GetZipMemory(ZipHandle* zip, void** block, DWORD* length)
{
    if (zip == nullptr && block != nullptr && length != nullptr) {
        *block = nullptr;
        *length = 0;
    }
    return OnState(zip, [&](ZipWriterState& state) {
        return block == nullptr || length == nullptr ? ZipResult::BadArguments
                                                     : state.GetMemory(block, length);
    });
}

ZipResult CloseZipWriter(ZipHandle* zip)
{
    ZipResult result = OnState(zip, [](ZipWriterState& state) { return state.Close(); });
    if (IsWriterHandle(zip)) {
        delete static_cast<ZipWriterState*>(zip->state);
        delete zip;
    }
    return result;
}

DWORD FormatZipWriterResult(uint32_t code, char* buffer, DWORD size)
{
    return FormatZipResultText(code, g_lastWriterResult, false, buffer, size);
}

bool IsWriterHandle(const ZipHandle* zip)
{
    return zip != nullptr && zip->kind == kZipHandleWriter;
}

bool HasCompressedSuffix(const char* name)
{
    static const char* const kStoredSuffixes[] = {".Z",   ".zip", ".zoo", ".arc",
                                                  ".lzh", ".arj", ".gz",  ".tgz"};
    const char* dot = name != nullptr ? strrchr(name, '.') : nullptr;
    if (dot == nullptr)
        return false;
    for (const char* suffix : kStoredSuffixes)
        if (_stricmp(dot, suffix) == 0)
            return true;
    return false;
}
