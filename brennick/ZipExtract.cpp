// The archive is read through minizip over our own source record (file handle or memory block); every
// entry's data goes through one raw pipeline: minizip's raw read, the traditional decryption with its
// check byte, raw inflate or a copy, and CRC-32, so corrupt data is reported rather than passed on.
#include "ZipExtract.h"

#include "ZipBytes.h"
#include "ZipCrypto.h"

// The C runtime's headers come first: minizip's header includes them inside its extern "C" block.
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

#include <unzip.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace
{

ZipResult g_lastExtractResult = ZipResult::Success;

constexpr DWORD kTransferSize = 16384;
constexpr uLong kMethodStored = 0;
constexpr uLong kMethodDeflated = 8;
constexpr uLong kFlagEncrypted = 0x1;
constexpr uLong kFlagDataDescriptor = 0x8;
// unzLocateFile: 1 compares exactly, 2 folds a-z (0 would pick the platform's default).
constexpr int kCaseSensitive = 1;
constexpr int kCaseInsensitive = 2;

// ---- the archive's source, read by minizip through its I/O callbacks ----

// Offsets that minizip sees are relative to the origin: the handle's position at open time, or the
// block's start.
struct ZipSource {
    HANDLE file = INVALID_HANDLE_VALUE;
    bool ownsFile = false;
    LONGLONG origin = 0;
    const uint8_t* block = nullptr;
    ZPOS64_T length = 0;
    ZPOS64_T position = 0;
};

voidpf ZCALLBACK SourceOpen(voidpf, const void* source, int)
{
    return const_cast<void*>(source);
}

uLong ZCALLBACK SourceRead(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto* source = static_cast<ZipSource*>(stream);
    if (source->block != nullptr) {
        ZPOS64_T left = source->length - source->position;
        uLong count = size < left ? size : static_cast<uLong>(left);
        memcpy(buffer, source->block + source->position, count);
        source->position += count;
        return count;
    }
    DWORD done = 0;
    DWORD wanted = size < 0x40000000 ? static_cast<DWORD>(size) : 0x40000000;
    if (!ReadFile(source->file, buffer, wanted, &done, nullptr))
        return 0;
    return done;
}

uLong ZCALLBACK SourceWrite(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK SourceTell(voidpf, voidpf stream)
{
    auto* source = static_cast<ZipSource*>(stream);
    if (source->block != nullptr)
        return source->position;
    LARGE_INTEGER zero{}, now{};
    if (!SetFilePointerEx(source->file, zero, &now, FILE_CURRENT) || now.QuadPart < source->origin)
        return static_cast<ZPOS64_T>(-1);
    return static_cast<ZPOS64_T>(now.QuadPart - source->origin);
}

long ZCALLBACK SourceSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* source = static_cast<ZipSource*>(stream);
    if (source->block != nullptr) {
        ZPOS64_T base = origin == ZLIB_FILEFUNC_SEEK_CUR   ? source->position
                        : origin == ZLIB_FILEFUNC_SEEK_END ? source->length
                                                           : 0;
        if (offset > source->length || base + offset > source->length)
            return -1;
        source->position = base + offset;
        return 0;
    }
    if (offset > static_cast<ZPOS64_T>(LLONG_MAX / 2))
        return -1;
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    DWORD method = FILE_CURRENT;
    if (origin == ZLIB_FILEFUNC_SEEK_SET) {
        distance.QuadPart += source->origin;
        method = FILE_BEGIN;
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
        method = FILE_END;
    }
    LARGE_INTEGER now{};
    if (!SetFilePointerEx(source->file, distance, &now, method) || now.QuadPart < source->origin)
        return -1;
    return 0;
}

int ZCALLBACK SourceClose(voidpf, voidpf stream)
{
    auto* source = static_cast<ZipSource*>(stream);
    if (source->ownsFile && source->file != INVALID_HANDLE_VALUE)
        CloseHandle(source->file);
    source->file = INVALID_HANDLE_VALUE;
    source->ownsFile = false;
    return 0;
}

int ZCALLBACK SourceError(voidpf, voidpf)
{
    return 0;
}

// ---- names, attributes and times ----

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// A path is absolute when it starts with a separator or a drive.
bool IsAbsolute(const char* path)
{
    return IsSeparator(path[0]) || (path[0] != '\0' && path[1] == ':');
}

// The path guards: drop leading drives, separators and ".." components, and everything up to a ".."
// between separators, until none applies.
const char* GuardName(const char* name)
{
    static const char* const kParentSequences[] = {"\\..\\", "\\../", "/../", "/..\\"};
    const char* p = name;
    for (;;) {
        if (p[0] != '\0' && p[1] == ':') {
            p += 2;
            continue;
        }
        if (IsSeparator(p[0])) {
            p += 1;
            continue;
        }
        if (p[0] == '.' && p[1] == '.' && IsSeparator(p[2])) {
            p += 3;
            continue;
        }
        const char* found = nullptr;
        for (const char* sequence : kParentSequences) {
            found = strstr(p, sequence);
            if (found != nullptr)
                break;
        }
        if (found == nullptr)
            return p;
        p = found + 4;
    }
}

// What may still lead out of the target after the guards: an empty name, a component that Windows
// reads as the parent (".." and its forms with trailing dots and spaces) or a ":" (a drive or an
// alternate data stream).
bool UnsafeName(const char* name)
{
    if (name[0] == '\0' || strchr(name, ':') != nullptr)
        return true;
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            size_t length = static_cast<size_t>(p - component);
            if (length >= 2 && strspn(component, ". ") >= length && memchr(component, '.', length) != nullptr)
                return true;
            if (*p == '\0')
                return false;
            component = p + 1;
        }
    }
}

DWORD EntryAttributes(const unz_file_info64& info)
{
    uLong host = (info.version >> 8) & 0xFF;
    uLong external = info.external_fa;
    if (host == 0 || host == 7 || host == 11 || host == 14)
        return static_cast<DWORD>(external &
                                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE));
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (external & 0x40000000)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(external & 0x00800000))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

FILETIME UnixTimeToFileTime(int32_t seconds)
{
    ULONGLONG value = static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds) + 11644473600LL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// The extended timestamp block ("UT") of a local extra field: its times replace the DOS time. Only
// fields that lie wholly inside both the block and the field are read.
void ApplyExtendedTimestamp(const std::vector<uint8_t>& extra, ZipEntryInfo* info)
{
    if (extra.size() <= 4)
        return;
    size_t at = 0;
    while (at + 4 < extra.size()) {
        uint16_t id = ZipLe16(&extra[at]);
        size_t size = ZipLe16(&extra[at + 2]);
        if (id != 0x5455) {
            at += size + 4;
            continue;
        }
        size_t begin = at + 4;
        size_t end = begin + size < extra.size() ? begin + size : extra.size();
        if (begin >= end)
            return;
        uint8_t flags = extra[begin];
        size_t field = begin + 1;
        FILETIME* const targets[] = {&info->modificationTime, &info->accessTime, &info->creationTime};
        for (int bit = 0; bit < 3; ++bit) {
            if (!(flags & (1 << bit)))
                continue;
            if (field + 4 > end)
                return;
            *targets[bit] = UnixTimeToFileTime(static_cast<int32_t>(ZipLe32(&extra[field])));
            field += 4;
        }
        return;
    }
}

// The internal directory creator: `base` (when given) and every level of `path` below it, as far as
// they are missing. Failures show later, when the file cannot be created.
void CreateDirectoryPath(const char* base, const std::string& path)
{
    std::string prefix = base != nullptr ? base : "";
    if (!prefix.empty() && GetFileAttributesA(prefix.c_str()) == INVALID_FILE_ATTRIBUTES)
        CreateDirectoryA(prefix.c_str(), nullptr);
    if (path.empty())
        return;
    size_t separator = path.find_last_of("\\/");
    if (separator != std::string::npos && separator != 0)
        CreateDirectoryPath(base, path.substr(0, separator));
    std::string full = prefix + path;
    if (GetFileAttributesA(full.c_str()) == INVALID_FILE_ATTRIBUTES)
        CreateDirectoryA(full.c_str(), nullptr);
}

// ---- an entry's data ----

// The raw pipeline over the reader's current entry, open from Open to destruction.
class EntryData
{
  public:
    ~EntryData()
    {
        if (inflating_)
            inflateEnd(&stream_);
        unzCloseCurrentFile(reader_);
    }
    EntryData(const EntryData&) = delete;
    EntryData& operator=(const EntryData&) = delete;

    static ZipResult Open(unzFile reader, const char* password, std::unique_ptr<EntryData>* data);

    // Fills `block` with up to `length` plain bytes; `*ended` once the entry has given everything and its
    // CRC and size have been checked.
    ZipResult Read(uint8_t* block, DWORD length, DWORD* produced, bool* ended);

  private:
    explicit EntryData(unzFile reader) : reader_(reader) {}
    ZipResult ReadRaw(uint8_t* buffer, DWORD length, DWORD* count);
    ZipResult Finish();

    unzFile reader_;
    unz_file_info64 info_{};
    std::unique_ptr<ZipCryptoKeys> keys_;
    ZPOS64_T rawLeft_ = 0;
    ZPOS64_T produced_ = 0;
    uLong crc_ = 0;
    z_stream stream_{};
    bool inflating_ = false;
    bool ended_ = false;
    std::unique_ptr<uint8_t[]> input_;
};

// The local header check: minizip compares it with the directory record (signature, method, CRC and
// sizes unless a data descriptor follows, name length); methods other than stored and deflated, which
// minizip would hand back raw, are refused here.
ZipResult OpenRawEntry(unzFile reader, unz_file_info64* info)
{
    if (unzGetCurrentFileInfo64(reader, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return ZipResult::CorruptArchive;
    if (info->compression_method != kMethodStored && info->compression_method != kMethodDeflated)
        return ZipResult::CorruptArchive;
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(reader, &method, &level, 1) != UNZ_OK)
        return ZipResult::CorruptArchive;
    return ZipResult::Success;
}

ZipResult EntryData::Open(unzFile reader, const char* password, std::unique_ptr<EntryData>* data)
{
    unz_file_info64 info{};
    ZipResult result = OpenRawEntry(reader, &info);
    if (result != ZipResult::Success)
        return result;
    std::unique_ptr<EntryData> entry(new (std::nothrow) EntryData(reader));
    if (!entry) {
        unzCloseCurrentFile(reader);
        return ZipResult::OutOfMemory;
    }
    entry->info_ = info;
    entry->rawLeft_ = info.compressed_size;
    entry->crc_ = crc32(0, nullptr, 0);
    if (info.flag & kFlagEncrypted) {
        if (password == nullptr)
            return ZipResult::PasswordRequired;
        uint8_t header[kZipCryptHeaderSize];
        DWORD count = 0;
        entry->keys_.reset(new (std::nothrow) ZipCryptoKeys(password));
        if (!entry->keys_)
            return ZipResult::OutOfMemory;
        if (entry->ReadRaw(header, sizeof(header), &count) != ZipResult::Success || count != sizeof(header))
            return ZipResult::CorruptArchive;
        // With a data descriptor the CRC is not known when the header is made, so the check byte is the
        // high byte of the DOS time instead of the CRC's.
        uint8_t check = (info.flag & kFlagDataDescriptor) ? static_cast<uint8_t>(info.dosDate >> 8)
                                                          : static_cast<uint8_t>(info.crc >> 24);
        if (header[kZipCryptHeaderSize - 1] != check)
            return ZipResult::PasswordRequired;
    }
    if (info.compression_method == kMethodDeflated) {
        entry->input_.reset(new (std::nothrow) uint8_t[kTransferSize]);
        if (!entry->input_ || inflateInit2(&entry->stream_, -MAX_WBITS) != Z_OK)
            return ZipResult::OutOfMemory;
        entry->inflating_ = true;
    }
    *data = std::move(entry);
    return ZipResult::Success;
}

// Raw (still encrypted) bytes of the entry, decrypted on the way.
ZipResult EntryData::ReadRaw(uint8_t* buffer, DWORD length, DWORD* count)
{
    *count = 0;
    if (rawLeft_ == 0 || length == 0)
        return ZipResult::Success;
    unsigned wanted = rawLeft_ < length ? static_cast<unsigned>(rawLeft_) : length;
    int read = unzReadCurrentFile(reader_, buffer, wanted);
    if (read <= 0)
        return ZipResult::DeflateFailed;
    rawLeft_ -= static_cast<ZPOS64_T>(read);
    if (keys_)
        keys_->Decrypt(buffer, static_cast<size_t>(read));
    *count = static_cast<DWORD>(read);
    return ZipResult::Success;
}

ZipResult EntryData::Finish()
{
    ended_ = true;
    if (crc_ != info_.crc || produced_ != info_.uncompressed_size)
        return ZipResult::CorruptArchive;
    return ZipResult::Success;
}

ZipResult EntryData::Read(uint8_t* block, DWORD length, DWORD* produced, bool* ended)
{
    *produced = 0;
    *ended = ended_;
    DWORD total = 0;
    ZipResult result = ZipResult::Success;
    while (!ended_ && total < length && result == ZipResult::Success) {
        DWORD count = 0;
        if (!inflating_) {
            if (rawLeft_ == 0) {
                result = Finish();
                break;
            }
            result = ReadRaw(block + total, length - total, &count);
        } else {
            if (stream_.avail_in == 0 && rawLeft_ > 0) {
                DWORD got = 0;
                result = ReadRaw(input_.get(), kTransferSize, &got);
                if (result != ZipResult::Success)
                    break;
                stream_.next_in = input_.get();
                stream_.avail_in = got;
            }
            stream_.next_out = block + total;
            stream_.avail_out = length - total;
            int status = inflate(&stream_, Z_NO_FLUSH);
            count = (length - total) - stream_.avail_out;
            if (status == Z_STREAM_END) {
                crc_ = crc32(crc_, block + total, count);
                produced_ += count;
                total += count;
                result = Finish();
                break;
            }
            if ((status != Z_OK && status != Z_BUF_ERROR) ||
                (count == 0 && stream_.avail_in == 0 && rawLeft_ == 0))
                result = ZipResult::DeflateFailed;
        }
        crc_ = crc32(crc_, block + total, count);
        produced_ += count;
        total += count;
    }
    *produced = total;
    *ended = ended_;
    return result;
}

// ---- the state behind an extraction handle ----

class UnzipState
{
  public:
    ~UnzipState() { Close(); }

    ZipResult Open(DWORD kind, const void* source, DWORD length, const char* password);
    ZipResult GetItem(int index, ZipEntryInfo* info);
    ZipResult Locate(const char* name, bool ignoreCase, int* index, ZipEntryInfo* info);
    ZipResult Extract(int index, void* target, DWORD length, DWORD kind);
    ZipResult SetBaseDirectory(const char* directory);
    ZipResult Close();

  private:
    ZipResult MoveTo(int index);
    void CloseEntry();
    ZipResult ExtractToMemory(int index, uint8_t* block, DWORD length);
    ZipResult ExtractToPath(const ZipEntryInfo& info, const char* target, HANDLE* file);
    ZipResult CopyEntry(const ZipEntryInfo& info, HANDLE file);
    const char* Password() const { return hasPassword_ ? password_.c_str() : nullptr; }

    unzFile reader_ = nullptr;
    std::unique_ptr<ZipSource> source_;
    int count_ = 0;
    int current_ = -1; // the entry the reader stands on
    int openEntry_ = -1;
    std::unique_ptr<EntryData> entry_;
    ZipEntryInfo cached_{};
    int cachedIndex_ = -1;
    std::string password_;
    bool hasPassword_ = false;
    std::unique_ptr<uint8_t[]> transfer_;
    char baseDirectory_[MAX_PATH] = {};
};

ZipResult UnzipState::Open(DWORD kind, const void* source, DWORD length, const char* password)
{
    if (reader_ != nullptr || openEntry_ != -1)
        return ZipResult::NotInitialised;
    DWORD size = GetCurrentDirectoryA(MAX_PATH, baseDirectory_);
    if (size == 0 || size >= MAX_PATH)
        baseDirectory_[0] = '\0';
    SetBaseDirectory(baseDirectory_);

    source_.reset(new (std::nothrow) ZipSource);
    if (!source_)
        return ZipResult::OutOfMemory;
    switch (kind) {
    case kZipTargetHandle:
        source_->file = const_cast<HANDLE>(source);
        break;
    case kZipTargetFile:
        if (source == nullptr)
            return ZipResult::BadArguments;
        source_->file = CreateFileA(static_cast<const char*>(source), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (source_->file == INVALID_HANDLE_VALUE)
            return ZipResult::CannotOpenFile;
        source_->ownsFile = true;
        break;
    case kZipTargetMemory:
        if (source == nullptr || length == 0)
            return ZipResult::BadArguments;
        source_->block = static_cast<const uint8_t*>(source);
        source_->length = length;
        break;
    default:
        return ZipResult::BadArguments;
    }
    if (source_->block == nullptr) {
        LARGE_INTEGER zero{}, origin{};
        if (!SetFilePointerEx(source_->file, zero, &origin, FILE_CURRENT)) {
            SourceClose(nullptr, source_.get());
            return ZipResult::NotSeekable;
        }
        source_->origin = origin.QuadPart;
    }
    zlib_filefunc64_def functions{};
    functions.zopen64_file = SourceOpen;
    functions.zread_file = SourceRead;
    functions.zwrite_file = SourceWrite;
    functions.ztell64_file = SourceTell;
    functions.zseek64_file = SourceSeek;
    functions.zclose_file = SourceClose;
    functions.zerror_file = SourceError;
    // On failure minizip closes the source through the callbacks.
    reader_ = unzOpen2_64(source_.get(), &functions);
    if (reader_ == nullptr)
        return ZipResult::CannotOpenFile;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(reader_, &global) != UNZ_OK) {
        Close();
        return ZipResult::CannotOpenFile;
    }
    count_ = global.number_entry < static_cast<ZPOS64_T>(INT_MAX) ? static_cast<int>(global.number_entry)
                                                                  : INT_MAX;
    if (password != nullptr) {
        password_ = password;
        hasPassword_ = true;
    }
    return ZipResult::Success;
}

void UnzipState::CloseEntry()
{
    entry_.reset();
    openEntry_ = -1;
}

ZipResult UnzipState::MoveTo(int index)
{
    if (current_ < 0 || index < current_) {
        current_ = -1;
        if (unzGoToFirstFile(reader_) != UNZ_OK)
            return ZipResult::CorruptArchive;
        current_ = 0;
    }
    while (current_ < index) {
        if (unzGoToNextFile(reader_) != UNZ_OK) {
            current_ = -1;
            return ZipResult::CorruptArchive;
        }
        ++current_;
    }
    return ZipResult::Success;
}

ZipResult UnzipState::GetItem(int index, ZipEntryInfo* info)
{
    if (index < -1 || index >= count_)
        return ZipResult::BadArguments;
    CloseEntry();
    if (index == -1) {
        *info = ZipEntryInfo{};
        info->index = count_;
        return ZipResult::Success;
    }
    if (index == cachedIndex_) {
        *info = cached_;
        return ZipResult::Success;
    }
    ZipResult result = MoveTo(index);
    if (result != ZipResult::Success)
        return result;
    unz_file_info64 entry{};
    char name[MAX_PATH];
    if (unzGetCurrentFileInfo64(reader_, &entry, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK)
        return ZipResult::CorruptArchive;
    // A name that does not fit the name field is refused rather than cut.
    if (entry.size_filename >= sizeof(name))
        return ZipResult::BadArguments;
    name[entry.size_filename] = '\0';

    result = OpenRawEntry(reader_, &entry);
    if (result != ZipResult::Success)
        return result;
    std::vector<uint8_t> extra;
    int extraSize = unzGetLocalExtrafield(reader_, nullptr, 0);
    if (extraSize > 0) {
        try {
            extra.resize(static_cast<size_t>(extraSize));
        } catch (const std::bad_alloc&) {
            unzCloseCurrentFile(reader_);
            return ZipResult::OutOfMemory;
        }
        int read = unzGetLocalExtrafield(reader_, extra.data(), static_cast<unsigned>(extraSize));
        if (read != extraSize) {
            unzCloseCurrentFile(reader_);
            return ZipResult::ReadFailed;
        }
    }
    unzCloseCurrentFile(reader_);
    if (extraSize < 0)
        return ZipResult::ReadFailed;

    const char* guarded = GuardName(name);
    if (UnsafeName(guarded))
        return ZipResult::BadArguments;
    ZipEntryInfo record{};
    record.index = index;
    strcpy_s(record.name, guarded);
    record.attributes = EntryAttributes(entry);
    FILETIME dosTime = zipdos::DosDateTimeToFileTime(static_cast<WORD>(entry.dosDate >> 16),
                                                     static_cast<WORD>(entry.dosDate));
    FILETIME utc{};
    LocalFileTimeToFileTime(&dosTime, &utc);
    record.accessTime = record.creationTime = record.modificationTime = utc;
    ApplyExtendedTimestamp(extra, &record);
    record.compressedSize = static_cast<LONG>(entry.compressed_size);
    record.uncompressedSize = static_cast<LONG>(entry.uncompressed_size);
    cached_ = record;
    cachedIndex_ = index;
    *info = record;
    return ZipResult::Success;
}

ZipResult UnzipState::Locate(const char* name, bool ignoreCase, int* index, ZipEntryInfo* info)
{
    if (index != nullptr)
        *index = -1;
    if (info != nullptr) {
        *info = ZipEntryInfo{};
        info->index = -1;
    }
    if (name == nullptr)
        return ZipResult::BadArguments;
    CloseEntry();
    // minizip refuses names of 256 characters or more, so they never match.
    if (unzLocateFile(reader_, name, ignoreCase ? kCaseInsensitive : kCaseSensitive) != UNZ_OK)
        return ZipResult::EntryNotFound;
    unz_file_pos position{};
    if (unzGetFilePos(reader_, &position) != UNZ_OK || position.num_of_file > static_cast<uLong>(INT_MAX)) {
        current_ = -1;
        return ZipResult::CorruptArchive;
    }
    current_ = static_cast<int>(position.num_of_file);
    if (index != nullptr)
        *index = current_;
    if (info != nullptr)
        return GetItem(current_, info);
    return ZipResult::Success;
}

ZipResult UnzipState::Extract(int index, void* target, DWORD length, DWORD kind)
{
    if (kind < kZipTargetHandle || kind > kZipTargetMemory)
        return ZipResult::BadArguments;
    if (kind == kZipTargetMemory)
        return ExtractToMemory(index, static_cast<uint8_t*>(target), length);
    CloseEntry();
    if (index < 0 || index >= count_)
        return ZipResult::BadArguments;
    ZipResult result = MoveTo(index);
    ZipEntryInfo info{};
    if (result == ZipResult::Success)
        result = GetItem(index, &info);
    if (result != ZipResult::Success)
        return result;
    if (kind == kZipTargetHandle)
        return (info.attributes & FILE_ATTRIBUTE_DIRECTORY) ? ZipResult::Success
                                                            : CopyEntry(info, static_cast<HANDLE>(target));
    if (target == nullptr)
        return ZipResult::BadArguments;
    HANDLE file = INVALID_HANDLE_VALUE;
    result = ExtractToPath(info, static_cast<const char*>(target), &file);
    if (result != ZipResult::Success || file == INVALID_HANDLE_VALUE)
        return result;
    result = CopyEntry(info, file);
    CloseHandle(file);
    return result;
}

// Creates what a path target needs: the directories, and for a file entry the file itself (returned
// open). Paths that would not fit MAX_PATH are refused, never cut.
ZipResult UnzipState::ExtractToPath(const ZipEntryInfo& info, const char* target, HANDLE* file)
{
    bool absolute = IsAbsolute(target);
    const char* base = absolute ? nullptr : baseDirectory_;
    size_t baseLength = absolute ? 0 : strlen(baseDirectory_);
    if (strlen(target) >= MAX_PATH || baseLength + strlen(target) >= MAX_PATH)
        return ZipResult::BadArguments;
    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        CreateDirectoryPath(base, target);
        return ZipResult::Success;
    }
    std::string path(target);
    size_t separator = path.find_last_of("\\/");
    std::string directory = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string full = (base != nullptr ? std::string(base) : std::string()) + path;
    CreateDirectoryPath(base, directory);
    *file = CreateFileA(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, info.attributes, nullptr);
    return *file == INVALID_HANDLE_VALUE ? ZipResult::CannotOpenFile : ZipResult::Success;
}

// Copies the reader's current entry to `file` and gives the file the entry's times.
ZipResult UnzipState::CopyEntry(const ZipEntryInfo& info, HANDLE file)
{
    ZipResult result = EntryData::Open(reader_, Password(), &entry_);
    if (result != ZipResult::Success) {
        CloseEntry();
        return result;
    }
    if (!transfer_)
        transfer_.reset(new (std::nothrow) uint8_t[kTransferSize]);
    if (!transfer_) {
        CloseEntry();
        return ZipResult::OutOfMemory;
    }
    for (;;) {
        DWORD count = 0;
        bool ended = false;
        result = entry_->Read(transfer_.get(), kTransferSize, &count, &ended);
        DWORD written = 0;
        if (count > 0 && (!WriteFile(file, transfer_.get(), count, &written, nullptr) || written != count))
            result = ZipResult::WriteFailed;
        if (result != ZipResult::Success)
            break;
        if (ended) {
            SetFileTime(file, &info.creationTime, &info.accessTime, &info.modificationTime);
            break;
        }
        if (count == 0) {
            result = ZipResult::DeflateFailed;
            break;
        }
    }
    CloseEntry();
    return result;
}

ZipResult UnzipState::ExtractToMemory(int index, uint8_t* block, DWORD length)
{
    if (index < 0 || index >= count_ || (block == nullptr && length != 0))
        return ZipResult::BadArguments;
    if (openEntry_ != index) {
        CloseEntry();
        ZipResult result = MoveTo(index);
        if (result == ZipResult::Success)
            result = EntryData::Open(reader_, Password(), &entry_);
        if (result != ZipResult::Success) {
            CloseEntry();
            return result;
        }
        openEntry_ = index;
    }
    DWORD count = 0;
    bool ended = false;
    ZipResult result = entry_->Read(block, length, &count, &ended);
    if (result != ZipResult::Success || ended) {
        CloseEntry();
        return result;
    }
    if (count > 0)
        return ZipResult::MoreData;
    CloseEntry();
    return ZipResult::DeflateFailed;
}

ZipResult UnzipState::SetBaseDirectory(const char* directory)
{
    if (directory == nullptr)
        return ZipResult::BadArguments;
    size_t length = strlen(directory);
    bool separated = length > 0 && IsSeparator(directory[length - 1]);
    if (length + (separated ? 0 : 1) >= MAX_PATH)
        return ZipResult::BadArguments;
    memmove(baseDirectory_, directory, length);
    if (!separated)
        baseDirectory_[length++] = '\\';
    baseDirectory_[length] = '\0';
    return ZipResult::Success;
}

ZipResult UnzipState::Close()
{
    CloseEntry();
    if (reader_ != nullptr)
        unzClose(reader_);
    reader_ = nullptr;
    source_.reset();
    transfer_.reset();
    password_.clear();
    hasPassword_ = false;
    return ZipResult::Success;
}

ZipResult Record(ZipResult result)
{
    g_lastExtractResult = result;
    return result;
}

template <typename Operation> ZipResult OnState(ZipHandle* zip, Operation operation)
{
    return OnZipState<UnzipState>(zip, kZipHandleExtract, &g_lastExtractResult, operation);
}

ZipHandle* OpenZip(DWORD kind, const void* source, DWORD length, const char* password)
{
    std::unique_ptr<UnzipState> state(new (std::nothrow) UnzipState);
    std::unique_ptr<ZipHandle> zip(new (std::nothrow) ZipHandle{kZipHandleExtract, nullptr});
    if (!state || !zip) {
        Record(ZipResult::OutOfMemory);
        return nullptr;
    }
    if (Record(state->Open(kind, source, length, password)) != ZipResult::Success)
        return nullptr;
    zip->state = state.release();
    return zip.release();
}

} // namespace

ZipHandle* OpenZipFile(const char* path, const char* password)
{
    return OpenZip(kZipTargetFile, path, 0, password);
}

ZipHandle* OpenZipFromHandle(HANDLE file, const char* password)
{
    return OpenZip(kZipTargetHandle, file, 0, password);
}

ZipHandle* OpenZipFromMemory(const void* block, DWORD length, const char* password)
{
    return OpenZip(kZipTargetMemory, block, length, password);
}

ZipResult GetZipItem(ZipHandle* zip, int index, ZipEntryInfo* info)
{
    if (info != nullptr) {
        info->index = 0;
        info->name[0] = '\0';
        info->uncompressedSize = 0;
    }
    return OnState(zip, [&](UnzipState& state) {
        return info == nullptr ? ZipResult::BadArguments : state.GetItem(index, info);
    });
}

ZipResult LocateZipEntry(ZipHandle* zip, const char* name, bool ignoreCase, int* index, ZipEntryInfo* info)
{
    return OnState(zip, [&](UnzipState& state) { return state.Locate(name, ignoreCase, index, info); });
}

ZipResult UnzipItemTo(ZipHandle* zip, int index, void* target, DWORD length, DWORD kind)
{
    return OnState(zip, [&](UnzipState& state) { return state.Extract(index, target, length, kind); });
}

ZipResult UnzipItemToFile(ZipHandle* zip, int index, const char* path)
{
    return UnzipItemTo(zip, index, const_cast<char*>(path), 0, kZipTargetFile);
}

ZipResult UnzipItemToHandle(ZipHandle* zip, int index, HANDLE file)
{
    return UnzipItemTo(zip, index, file, 0, kZipTargetHandle);
}

ZipResult UnzipItemToMemory(ZipHandle* zip, int index, void* block, DWORD length)
{
    return UnzipItemTo(zip, index, block, length, kZipTargetMemory);
}

ZipResult SetExtractBaseDirectory(ZipHandle* zip, const char* directory)
{
    return OnState(zip, [&](UnzipState& state) { return state.SetBaseDirectory(directory); });
}

ZipResult CloseZipFile(ZipHandle* zip)
{
    ZipResult result = OnState(zip, [](UnzipState& state) { return state.Close(); });
    if (result == ZipResult::Success) {
        delete static_cast<UnzipState*>(zip->state);
        delete zip;
    }
    return result;
}

DWORD FormatZipResult(uint32_t code, char* buffer, DWORD size)
{
    return FormatZipResultText(code, g_lastExtractResult, true, buffer, size);
}

bool IsExtractHandle(const ZipHandle* zip)
{
    return zip != nullptr && zip->kind == kZipHandleExtract;
}

FILETIME zipdos::DosDateTimeToFileTime(WORD dosDate, WORD dosTime)
{
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>((dosDate >> 9) + 1980);
    local.wMonth = static_cast<WORD>((dosDate >> 5) & 15);
    local.wDay = static_cast<WORD>(dosDate & 31);
    local.wHour = static_cast<WORD>(dosTime >> 11);
    local.wMinute = static_cast<WORD>((dosTime >> 5) & 63);
    local.wSecond = static_cast<WORD>((dosTime & 31) * 2);
    FILETIME time{};
    if (!SystemTimeToFileTime(&local, &time))
        time = FILETIME{};
    return time;
}
