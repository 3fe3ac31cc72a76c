// Win32 files in the sandbox: handles with access and share modes, attributes and times kept in
// sidecars, and the calls on names (delete, move, copy, directories, attributes).
//
// A handle is an fd on the sandbox file. Opens of one file meet in a shared record (keyed by device
// and inode), where share modes are checked and a delete-on-close is carried out by the last close.
// DeleteFile of a file that others hold open with FILE_SHARE_DELETE removes the name at once (Linux
// keeps their data), where Windows would keep it, unopenable, until they close.
#include "file_system.h"

#include <host/object.h>
#include <host/utf.h>
#include <wdm.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

namespace host::files
{
namespace
{

constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY;
constexpr ULONG kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr ULONG kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);
constexpr ULONGLONG kUnixEpoch = 116444736000000000ULL; // 1970-01-01 as a FILETIME
// A directory's path limit leaves room for an 8.3 name inside it.
constexpr size_t kMaxDirectoryPath = MAX_PATH - 12;

ULONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONGLONG>(now.QuadPart);
}

ULONG FromErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EINVAL:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ---- sidecars ----

std::mutex& MetadataLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::filesystem::path SidecarOf(const std::filesystem::path& disk)
{
    return disk.parent_path() / (disk.filename().string() + ":meta");
}

bool ReadSidecar(const std::filesystem::path& disk, Metadata* metadata)
{
    std::ifstream in(SidecarOf(disk), std::ios::binary);
    Metadata stored;
    return in.read(reinterpret_cast<char*>(&stored), sizeof(stored)) && (*metadata = stored, true);
}

void WriteSidecar(const std::filesystem::path& disk, const Metadata& metadata)
{
    std::ofstream out(SidecarOf(disk), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&metadata), sizeof(metadata));
}

void RemoveSidecar(const std::filesystem::path& disk)
{
    std::error_code ec;
    std::filesystem::remove(SidecarOf(disk), ec);
}

// Read-modify-write of an entry's metadata, serialised against every other.
template <typename Change> void UpdateMetadata(const std::filesystem::path& disk, Change change)
{
    std::lock_guard<std::mutex> guard(MetadataLock());
    EntryInfo info;
    if (!ReadEntry(disk, &info))
        return;
    change(info.metadata);
    WriteSidecar(disk, info.metadata);
}

// ---- open files and their handles ----

class FileObject;

struct SharedFile {
    std::pair<dev_t, ino_t> key;
    std::filesystem::path disk; // follows MoveFile
    std::vector<FileObject*> opens;
    bool deletePending = false;
    bool deleted = false;
};

struct OpenFiles {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, std::shared_ptr<SharedFile>> files;
};

OpenFiles& Opens()
{
    static auto* opens = new OpenFiles;
    return *opens;
}

class FileObject : public Object
{
  public:
    FileObject() : Object(ObjectKind::File) {}
    ~FileObject() override;

    int fd = -1;
    ULONG access = 0;
    ULONG share = 0;
    bool directory = false;
    bool deleteOnClose = false;
    std::shared_ptr<SharedFile> file;

    std::mutex lock; // the fields below
    LONGLONG position = 0;
    bool written = false;
    bool writeTimeFixed = false; // SetFileTime chose the write time: writes no longer change it
    ULONGLONG writeStamp = 0;

    std::filesystem::path Disk()
    {
        std::lock_guard<std::mutex> guard(Opens().lock);
        return file->disk;
    }

    // The file's entry as the handle sees it: with the write time its writes earned, though not yet
    // stored. Needs FILE_READ_ATTRIBUTES.
    ULONG ReadAttributes(EntryInfo* info)
    {
        if (!(access & FILE_READ_ATTRIBUTES))
            return ERROR_ACCESS_DENIED;
        if (!ReadEntry(Disk(), info))
            return ERROR_FILE_NOT_FOUND;
        std::lock_guard<std::mutex> guard(lock);
        if (written && !writeTimeFixed)
            info->metadata.write = info->metadata.access = writeStamp;
        return ERROR_SUCCESS;
    }

    // Records the write time that writes through this handle earned.
    void StoreWriteTime()
    {
        ULONGLONG stamp;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!written || writeTimeFixed)
                return;
            written = false;
            stamp = writeStamp;
        }
        std::filesystem::path disk = Disk();
        UpdateMetadata(disk, [stamp](Metadata& m) {
            m.write = stamp;
            m.access = stamp;
            m.attributes |= FILE_ATTRIBUTE_ARCHIVE;
        });
    }
};

struct Dereference {
    void operator()(Object* object) const { ObjectDereference(object); }
};
using FilePtr = std::unique_ptr<FileObject, Dereference>;

bool Conflicts(ULONG access, ULONG share, const FileObject& other)
{
    auto refuses = [](ULONG access, ULONG share) {
        return ((access & kReadAccess) && !(share & FILE_SHARE_READ)) ||
               ((access & kWriteAccess) && !(share & FILE_SHARE_WRITE)) ||
               ((access & DELETE) && !(share & FILE_SHARE_DELETE));
    };
    return refuses(access, other.share) || refuses(other.access, share);
}

FileObject::~FileObject()
{
    if (file != nullptr && !directory)
        StoreWriteTime();
    if (file != nullptr) {
        OpenFiles& opens = Opens();
        std::lock_guard<std::mutex> guard(opens.lock);
        auto& list = file->opens;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        file->deletePending |= deleteOnClose;
        if (list.empty()) {
            if (file->deletePending && !file->deleted) {
                std::error_code ec;
                std::filesystem::remove(file->disk, ec);
                RemoveSidecar(file->disk);
            }
            opens.files.erase(file->key);
        }
    }
    if (fd >= 0)
        close(fd);
}

// Joins `object` to the shared record of its file, unless a share mode refuses it.
ULONG Register(FileObject* object, const std::filesystem::path& disk)
{
    struct stat st;
    if (fstat(object->fd, &st) != 0)
        return FromErrno(errno);
    OpenFiles& opens = Opens();
    std::lock_guard<std::mutex> guard(opens.lock);
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto& shared = opens.files[key];
    if (shared == nullptr) {
        shared = std::make_shared<SharedFile>();
        shared->key = key;
        shared->disk = disk;
    }
    if (shared->deletePending)
        return ERROR_ACCESS_DENIED;
    for (FileObject* other : shared->opens)
        if (Conflicts(object->access, object->share, *other))
            return ERROR_SHARING_VIOLATION;
    shared->opens.push_back(object);
    object->file = shared;
    return ERROR_SUCCESS;
}

// The open record of the file at `disk`, if any handle holds it.
std::shared_ptr<SharedFile> FindOpen(const std::filesystem::path& disk)
{
    struct stat st;
    if (stat(disk.c_str(), &st) != 0)
        return nullptr;
    auto it = Opens().files.find(std::make_pair(st.st_dev, st.st_ino));
    return it == Opens().files.end() ? nullptr : it->second;
}

ULONG MapAccess(DWORD desired)
{
    ULONG access =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        access |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE)
        access |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE)
        access |= FILE_GENERIC_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= FILE_ALL_ACCESS;
    return access;
}

ULONG MissingError(const FilesResolved& resolved)
{
    return resolved.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

struct FileOpen {
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};

// CreateFile's disk branch. On success `*object` holds the new object and `*existed` tells whether the
// file was there before.
ULONG OpenDisk(const ParsedPath& parsed, const FileOpen& open, FilePtr* object, bool* existed)
{
    FilesResolved resolved;
    ULONG error = Locate(parsed, &resolved);
    if (error != ERROR_SUCCESS)
        return error;
    if (!resolved.exists && !resolved.parentExists)
        return ERROR_PATH_NOT_FOUND;
    FilePtr file(new FileObject);
    file->access = MapAccess(open.access) | ((open.flags & FILE_FLAG_DELETE_ON_CLOSE) ? DELETE : 0);
    file->share = open.share & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    file->deleteOnClose = (open.flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    bool truncate = open.disposition == CREATE_ALWAYS || open.disposition == TRUNCATE_EXISTING;
    DWORD newAttributes = (open.flags & kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    *existed = resolved.exists;
    if (resolved.exists) {
        EntryInfo info;
        if (!ReadEntry(resolved.disk, &info))
            return ERROR_FILE_NOT_FOUND;
        if (open.disposition == CREATE_NEW)
            return ERROR_FILE_EXISTS;
        DWORD attributes = info.metadata.attributes;
        if (info.directory) {
            if (!(open.flags & FILE_FLAG_BACKUP_SEMANTICS) || truncate || (file->access & kWriteAccess))
                return ERROR_ACCESS_DENIED;
            file->directory = true;
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) && (truncate || (file->access & (kWriteAccess | DELETE))))
            return ERROR_ACCESS_DENIED;
        // Overwriting must name the hidden and system bits the file already has.
        if (open.disposition == CREATE_ALWAYS &&
            (attributes & ~open.flags & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0)
            return ERROR_ACCESS_DENIED;
        if (open.disposition == TRUNCATE_EXISTING && !(file->access & FILE_WRITE_DATA))
            return ERROR_INVALID_PARAMETER;
        int flags = file->directory                 ? O_RDONLY | O_DIRECTORY
                    : (file->access & kWriteAccess) ? O_RDWR
                                                    : O_RDONLY;
        file->fd = ::open(resolved.disk.c_str(), flags | O_CLOEXEC);
        if (file->fd < 0)
            return FromErrno(errno);
        error = Register(file.get(), resolved.disk);
        if (error != ERROR_SUCCESS)
            return error;
        if (truncate) {
            if (ftruncate(file->fd, 0) != 0)
                return FromErrno(errno);
            ULONGLONG now = Now();
            bool replace = open.disposition == CREATE_ALWAYS;
            UpdateMetadata(resolved.disk, [&](Metadata& m) {
                if (replace)
                    m.attributes |= newAttributes;
                m.write = m.access = now;
            });
        }
    } else {
        if (open.disposition == OPEN_EXISTING || open.disposition == TRUNCATE_EXISTING)
            return ERROR_FILE_NOT_FOUND;
        if (parsed.trailingSeparator)
            return ERROR_INVALID_NAME;
        // A file created read-only is still writable through the handle that created it.
        file->fd = ::open(resolved.disk.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file->fd < 0)
            return errno == EEXIST ? ERROR_SHARING_VIOLATION : FromErrno(errno);
        ULONGLONG now = Now();
        {
            std::lock_guard<std::mutex> guard(MetadataLock());
            WriteSidecar(resolved.disk, Metadata{newAttributes, now, now, now});
        }
        error = Register(file.get(), resolved.disk);
        if (error != ERROR_SUCCESS)
            return error;
    }
    *object = std::move(file);
    return ERROR_SUCCESS;
}

HANDLE CreateFileFrom(std::u16string_view path, const FileOpen& open)
{
    if (open.disposition < CREATE_NEW || open.disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    ParsedPath parsed;
    ULONG error = ParsePath(path, false, &parsed);
    if (error == ERROR_SUCCESS && parsed.device) {
        HANDLE handle =
            OpenDevice(FilesDeviceOpen{path, open.access, open.share, open.disposition, open.flags}, &error);
        if (handle == nullptr) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return handle;
    }
    FilePtr object;
    bool existed = false;
    if (error == ERROR_SUCCESS)
        error = OpenDisk(parsed, open, &object, &existed);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = HandleCreate(object.get(), object->access);
    object.reset(); // the handle holds the only reference
    bool reportExisting = existed && (open.disposition == CREATE_ALWAYS || open.disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// A referenced file object for the duration of one call.
class FileRef
{
  public:
    explicit FileRef(HANDLE handle)
    {
        Object* object = nullptr;
        if (NT_SUCCESS(HandleReference(handle, ObjectKind::File, 0, &object, nullptr))) {
            file_ = dynamic_cast<FileObject*>(object);
            if (file_ == nullptr)
                ObjectDereference(object);
        }
    }
    ~FileRef()
    {
        if (file_ != nullptr)
            ObjectDereference(file_);
    }
    FileRef(const FileRef&) = delete;
    FileRef& operator=(const FileRef&) = delete;

    FileObject* operator->() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }

  private:
    FileObject* file_ = nullptr;
};

BOOL Fail(ULONG error)
{
    SetLastError(error);
    return FALSE;
}

// A call that needs a sandbox file got another handle: a pipe end does not serve it (see pipe.cpp).
BOOL FailNotAFile(HANDLE handle)
{
    return Fail(IsPipeEnd(handle) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
}

// ReadFile and WriteFile: synchronous transfers at the handle's position or at the OVERLAPPED's offset
// (which a synchronous handle also moves its position past).
BOOL Transfer(HANDLE handle, void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped,
              bool write)
{
    if (transferred != nullptr)
        *transferred = 0;
    FileRef file(handle);
    if (!file) {
        BOOL piped = FALSE;
        return PipeTransfer(handle, buffer, count, transferred, overlapped, write, &piped)
                   ? piped
                   : DeviceTransfer(handle, buffer, count, transferred, overlapped, write);
    }
    if (!TransferArgumentsValid(buffer, count, transferred, overlapped))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!(file->access & (write ? kWriteAccess : FILE_READ_DATA)))
        return Fail(ERROR_ACCESS_DENIED);
    if (file->directory)
        return Fail(write ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION);
    std::lock_guard<std::mutex> guard(file->lock);
    LONGLONG offset = file->position;
    if (overlapped != nullptr)
        offset = static_cast<LONGLONG>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) |
                                       overlapped->Offset);
    // Writes go to the end for an append-only handle and for the offset 0xFFFFFFFF:0xFFFFFFFF.
    if (write && (overlapped != nullptr ? offset == -1 : !(file->access & FILE_WRITE_DATA))) {
        struct stat st;
        if (fstat(file->fd, &st) != 0)
            return Fail(FromErrno(errno));
        offset = st.st_size;
    }
    DWORD done = 0;
    while (done < count) {
        char* at = static_cast<char*>(buffer) + done;
        ssize_t n = write ? pwrite(file->fd, at, count - done, offset + done)
                          : pread(file->fd, at, count - done, offset + done);
        if (n < 0)
            return Fail(FromErrno(errno));
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    file->position = offset + done;
    if (write) {
        file->written = true;
        file->writeStamp = Now();
    }
    if (transferred != nullptr)
        *transferred = done;
    if (overlapped != nullptr) {
        // A read at an explicit offset past the end reports the end of the file.
        bool endOfFile = !write && done == 0 && count != 0;
        overlapped->Internal = endOfFile ? static_cast<ULONG_PTR>(kStatusEndOfFile) : STATUS_SUCCESS;
        overlapped->InternalHigh = done;
        if (endOfFile)
            return Fail(ERROR_HANDLE_EOF);
    }
    return TRUE;
}

// The low half of a 64-bit answer, the high half stored through `high`. A low half equal to the
// failure value is ambiguous, so the last error is cleared for the caller to tell them apart.
template <typename High> DWORD LowPart(LONGLONG value, High* high, DWORD failure)
{
    if (high != nullptr)
        *high = static_cast<High>(value >> 32);
    if (static_cast<DWORD>(value) == failure)
        SetLastError(NO_ERROR);
    return static_cast<DWORD>(value);
}

// ---- operations on names ----

ULONG ResolveExisting(std::u16string_view path, FilesResolved* resolved, EntryInfo* info)
{
    ULONG error = Resolve(path, resolved);
    if (error != ERROR_SUCCESS)
        return error;
    if (!resolved->exists || !ReadEntry(resolved->disk, info))
        return MissingError(*resolved);
    return ERROR_SUCCESS;
}

// Every open of the file at `disk` allows deleting it (or nobody holds it).
bool SharesDelete(const std::filesystem::path& disk)
{
    std::shared_ptr<SharedFile> shared = FindOpen(disk);
    if (shared == nullptr)
        return true;
    return std::all_of(shared->opens.begin(), shared->opens.end(),
                       [](const FileObject* o) { return (o->share & FILE_SHARE_DELETE) != 0; });
}

ULONG DeleteEntry(std::u16string_view path)
{
    FilesResolved resolved;
    EntryInfo info;
    ULONG error = ResolveExisting(path, &resolved, &info);
    if (error != ERROR_SUCCESS)
        return error;
    if (info.directory || (info.metadata.attributes & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(Opens().lock);
    std::shared_ptr<SharedFile> shared = FindOpen(resolved.disk);
    if (!SharesDelete(resolved.disk))
        return ERROR_SHARING_VIOLATION;
    if (unlink(resolved.disk.c_str()) != 0)
        return FromErrno(errno);
    RemoveSidecar(resolved.disk);
    if (shared != nullptr)
        shared->deleted = true;
    return ERROR_SUCCESS;
}

// A path that names an entry in the sandbox (a device path does not).
ULONG LocateName(std::u16string_view path, ParsedPath* parsed, FilesResolved* resolved)
{
    ULONG error = ParsePath(path, false, parsed);
    if (error != ERROR_SUCCESS)
        return error;
    return parsed->device ? ERROR_INVALID_NAME : Locate(*parsed, resolved);
}

// The sandbox path a new name lands on: the parent as found on disk, the name as the caller wrote it.
ULONG ResolveTarget(std::u16string_view path, FilesResolved* resolved, std::filesystem::path* target)
{
    ParsedPath parsed;
    ULONG error = LocateName(path, &parsed, resolved);
    if (error != ERROR_SUCCESS)
        return error;
    if (!resolved->parentExists)
        return ERROR_PATH_NOT_FOUND;
    if (parsed.components.empty())
        return ERROR_ACCESS_DENIED; // a drive root
    *target = resolved->disk.parent_path() / utf::ToUtf8(parsed.components.back());
    return ERROR_SUCCESS;
}

bool SameEntry(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

ULONG MoveEntry(std::u16string_view from, std::u16string_view to, DWORD flags)
{
    FilesResolved source;
    EntryInfo info;
    ULONG error = ResolveExisting(from, &source, &info);
    if (error != ERROR_SUCCESS)
        return error;
    FilesResolved destination;
    std::filesystem::path target;
    error = ResolveTarget(to, &destination, &target);
    if (error != ERROR_SUCCESS)
        return error;
    std::lock_guard<std::mutex> guard(Opens().lock);
    if (!SharesDelete(source.disk))
        return ERROR_SHARING_VIOLATION;
    bool renameOnly = destination.exists && SameEntry(source.disk, destination.disk);
    if (destination.exists && !renameOnly) {
        EntryInfo existing;
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return ERROR_ALREADY_EXISTS;
        if (!ReadEntry(destination.disk, &existing) || existing.directory || info.directory ||
            (existing.metadata.attributes & FILE_ATTRIBUTE_READONLY) || FindOpen(destination.disk) != nullptr)
            return ERROR_ACCESS_DENIED;
        if (unlink(destination.disk.c_str()) != 0)
            return FromErrno(errno);
        RemoveSidecar(destination.disk);
    }
    std::shared_ptr<SharedFile> shared = FindOpen(source.disk);
    if (rename(source.disk.c_str(), target.c_str()) != 0)
        return errno == EINVAL ? ERROR_ACCESS_DENIED : FromErrno(errno);
    std::error_code ec;
    std::filesystem::rename(SidecarOf(source.disk), SidecarOf(target), ec);
    if (shared != nullptr)
        shared->disk = target;
    return ERROR_SUCCESS;
}

ULONG CopyEntry(std::u16string_view from, std::u16string_view to, BOOL failIfExists)
{
    FilesResolved source;
    EntryInfo info;
    ULONG error = ResolveExisting(from, &source, &info);
    if (error != ERROR_SUCCESS)
        return error;
    if (info.directory)
        return ERROR_ACCESS_DENIED;
    ParsedPath parsedFrom;
    ParsedPath parsedTo;
    FilePtr in;
    FilePtr out;
    bool existed;
    error = ParsePath(from, false, &parsedFrom);
    if (error == ERROR_SUCCESS)
        error =
            OpenDisk(parsedFrom, FileOpen{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0}, &in, &existed);
    if (error == ERROR_SUCCESS)
        error = ParsePath(to, false, &parsedTo);
    if (error == ERROR_SUCCESS && parsedTo.device)
        error = ERROR_INVALID_NAME;
    if (error != ERROR_SUCCESS)
        return error;
    // The copy carries the source's attributes, so an existing hidden or system target can be replaced
    // only by a source that has those bits too.
    DWORD disposition = failIfExists ? CREATE_NEW : CREATE_ALWAYS;
    error =
        OpenDisk(parsedTo, FileOpen{GENERIC_WRITE, 0, disposition, info.metadata.attributes}, &out, &existed);
    if (error != ERROR_SUCCESS)
        return error;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in->fd, buffer, sizeof(buffer));
        if (n < 0)
            return FromErrno(errno);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out->fd, buffer + done, n - done);
            if (w < 0)
                return FromErrno(errno);
            done += w;
        }
    }
    ULONGLONG written = info.metadata.write;
    DWORD attributes = info.metadata.attributes | FILE_ATTRIBUTE_ARCHIVE;
    UpdateMetadata(out->Disk(), [&](Metadata& m) {
        m.write = written;
        m.attributes = attributes;
    });
    return ERROR_SUCCESS;
}

ULONG CreateDirectoryEntry(std::u16string_view path)
{
    ParsedPath parsed;
    FilesResolved resolved;
    ULONG error = LocateName(path, &parsed, &resolved);
    if (error != ERROR_SUCCESS)
        return error;
    if (resolved.exists)
        return ERROR_ALREADY_EXISTS;
    if (!resolved.parentExists)
        return ERROR_PATH_NOT_FOUND;
    if (!parsed.literal && parsed.windowsPath.size() > kMaxDirectoryPath)
        return ERROR_FILENAME_EXCED_RANGE;
    if (mkdir(resolved.disk.c_str(), 0777) != 0)
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : FromErrno(errno);
    ULONGLONG now = Now();
    std::lock_guard<std::mutex> guard(MetadataLock());
    WriteSidecar(resolved.disk, Metadata{0, now, now, now});
    return ERROR_SUCCESS;
}

ULONG RemoveDirectoryEntry(std::u16string_view path)
{
    ParsedPath parsed;
    FilesResolved resolved;
    EntryInfo info;
    ULONG error = LocateName(path, &parsed, &resolved);
    if (error != ERROR_SUCCESS)
        return error;
    if (!resolved.exists || !ReadEntry(resolved.disk, &info))
        return MissingError(resolved);
    if (!info.directory)
        return ERROR_DIRECTORY;
    if (parsed.components.empty() || (info.metadata.attributes & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    std::error_code ec;
    std::vector<std::filesystem::path> sidecars;
    for (const auto& entry : std::filesystem::directory_iterator(resolved.disk, ec)) {
        std::u16string name;
        if (VisibleName(entry.path(), &name))
            return ERROR_DIR_NOT_EMPTY;
        sidecars.push_back(entry.path()); // left behind by entries removed outside the host
    }
    for (const auto& sidecar : sidecars)
        std::filesystem::remove(sidecar, ec);
    if (rmdir(resolved.disk.c_str()) != 0)
        return FromErrno(errno);
    RemoveSidecar(resolved.disk);
    return ERROR_SUCCESS;
}

ULONG SetAttributes(std::u16string_view path, DWORD attributes)
{
    FilesResolved resolved;
    EntryInfo info;
    ULONG error = ResolveExisting(path, &resolved, &info);
    if (error != ERROR_SUCCESS)
        return error;
    UpdateMetadata(resolved.disk,
                   [attributes](Metadata& m) { m.attributes = attributes & kStoredAttributes; });
    return ERROR_SUCCESS;
}

ULONG GetAttributes(std::u16string_view path, WIN32_FILE_ATTRIBUTE_DATA* data)
{
    FilesResolved resolved;
    EntryInfo info;
    ULONG error = ResolveExisting(path, &resolved, &info);
    if (error != ERROR_SUCCESS)
        return error;
    info.Fill(data);
    return ERROR_SUCCESS;
}

// Runs `call` on an A function's path.
template <typename Call> ULONG WithAnsiPath(LPCSTR path, Call call)
{
    std::u16string wide;
    ULONG error = AnsiPath(path, &wide);
    return error != ERROR_SUCCESS ? error : call(std::u16string_view(wide));
}

BOOL Result(ULONG error)
{
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

std::u16string_view WidePath(LPCWSTR path)
{
    return path == nullptr ? std::u16string_view() : path;
}

} // namespace

bool ReadEntry(const std::filesystem::path& disk, EntryInfo* info)
{
    struct stat st;
    if (lstat(disk.c_str(), &st) != 0)
        return false;
    info->directory = S_ISDIR(st.st_mode);
    info->size = info->directory ? 0 : static_cast<ULONGLONG>(st.st_size);
    if (!ReadSidecar(disk, &info->metadata)) {
        ULONGLONG modified = kUnixEpoch + static_cast<ULONGLONG>(st.st_mtim.tv_sec) * 10000000ULL +
                             static_cast<ULONGLONG>(st.st_mtim.tv_nsec) / 100;
        info->metadata =
            Metadata{info->directory ? 0u : FILE_ATTRIBUTE_ARCHIVE, modified, modified, modified};
    }
    return true;
}

void EntryInfo::Fill(WIN32_FILE_ATTRIBUTE_DATA* data) const
{
    data->dwFileAttributes = Attributes();
    data->ftCreationTime = ToFileTime(metadata.creation);
    data->ftLastAccessTime = ToFileTime(metadata.access);
    data->ftLastWriteTime = ToFileTime(metadata.write);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
}

DWORD EntryInfo::Attributes() const
{
    DWORD attributes = (metadata.attributes & kStoredAttributes) | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

} // namespace host::files

using host::files::FileRef;
using host::files::Result;
using host::files::WidePath;
using host::files::WithAnsiPath;

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    return host::files::CreateFileFrom(
        WidePath(lpFileName), {dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes});
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::u16string wide;
    ULONG error = host::files::AnsiPath(lpFileName, &wide);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    return host::files::Transfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                                 false);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    return host::files::Transfer(hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                 lpNumberOfBytesWritten, lpOverlapped, true);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    std::lock_guard<std::mutex> guard(file->lock);
    LONGLONG base;
    switch (dwMoveMethod) {
    case FILE_BEGIN:
        base = 0;
        break;
    case FILE_CURRENT:
        base = file->position;
        break;
    case FILE_END: {
        struct stat st;
        if (fstat(file->fd, &st) != 0)
            return host::files::Fail(host::files::FromErrno(errno));
        base = st.st_size;
        break;
    }
    default:
        return host::files::Fail(ERROR_INVALID_PARAMETER);
    }
    LONGLONG target;
    if (__builtin_add_overflow(base, liDistanceToMove.QuadPart, &target) || target < 0)
        return host::files::Fail(ERROR_NEGATIVE_SEEK);
    file->position = target;
    if (lpNewFilePointer != nullptr)
        lpNewFilePointer->QuadPart = target;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
    LARGE_INTEGER distance;
    distance.QuadPart = lpDistanceToMoveHigh != nullptr
                            ? static_cast<LONGLONG>(
                                  (static_cast<ULONGLONG>(static_cast<ULONG>(*lpDistanceToMoveHigh)) << 32) |
                                  static_cast<ULONG>(lDistanceToMove))
                            : lDistanceToMove;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(hFile, distance, &position, dwMoveMethod))
        return INVALID_SET_FILE_POINTER;
    return host::files::LowPart(position.QuadPart, lpDistanceToMoveHigh, INVALID_SET_FILE_POINTER);
}

BOOL SetEndOfFile(HANDLE hFile)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    if (!(file->access & FILE_WRITE_DATA) || file->directory)
        return host::files::Fail(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> guard(file->lock);
    if (ftruncate(file->fd, file->position) != 0)
        return host::files::Fail(host::files::FromErrno(errno));
    file->written = true;
    file->writeStamp = host::files::Now();
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    if (lpFileSize == nullptr)
        return host::files::Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(file->fd, &st) != 0)
        return host::files::Fail(host::files::FromErrno(errno));
    lpFileSize->QuadPart = file->directory ? 0 : st.st_size;
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size))
        return INVALID_FILE_SIZE;
    return host::files::LowPart(size.QuadPart, lpFileSizeHigh, INVALID_FILE_SIZE);
}

DWORD GetFileType(HANDLE hFile)
{
    host::Object* object = nullptr;
    if (!NT_SUCCESS(host::HandleReference(hFile, host::ObjectKind::Any, 0, &object, nullptr))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    bool disk = dynamic_cast<host::files::FileObject*>(object) != nullptr;
    host::ObjectDereference(object);
    SetLastError(NO_ERROR);
    return disk                              ? FILE_TYPE_DISK
           : host::files::IsPipeEnd(hFile) ? FILE_TYPE_PIPE
                                           : FILE_TYPE_UNKNOWN;
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    if (!(file->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return host::files::Fail(ERROR_ACCESS_DENIED);
    file->StoreWriteTime();
    return TRUE;
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    host::files::EntryInfo info;
    if (ULONG error = file->ReadAttributes(&info); error != ERROR_SUCCESS)
        return host::files::Fail(error);
    if (lpCreationTime != nullptr)
        *lpCreationTime = host::files::ToFileTime(info.metadata.creation);
    if (lpLastAccessTime != nullptr)
        *lpLastAccessTime = host::files::ToFileTime(info.metadata.access);
    if (lpLastWriteTime != nullptr)
        *lpLastWriteTime = host::files::ToFileTime(info.metadata.write);
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                 const FILETIME* lpLastWriteTime)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    if (!(file->access & FILE_WRITE_ATTRIBUTES))
        return host::files::Fail(ERROR_ACCESS_DENIED);
    // A null time, and the values 0 and all-ones (Windows' "leave" and "stop updating"), keep the time.
    auto chosen = [](const FILETIME* time) {
        ULONGLONG value = time != nullptr ? host::files::FromFileTime(*time) : 0;
        return value != 0 && value != ~0ULL ? value : 0;
    };
    ULONGLONG creation = chosen(lpCreationTime);
    ULONGLONG access = chosen(lpLastAccessTime);
    ULONGLONG write = chosen(lpLastWriteTime);
    if (write != 0) {
        std::lock_guard<std::mutex> guard(file->lock);
        file->writeTimeFixed = true;
    }
    host::files::UpdateMetadata(file->Disk(), [&](host::files::Metadata& m) {
        m.creation = creation != 0 ? creation : m.creation;
        m.access = access != 0 ? access : m.access;
        m.write = write != 0 ? write : m.write;
    });
    return TRUE;
}

// The volume serial and file index come from the Linux device and inode, so that the pair identifies the
// file as on Windows (every drive of one sandbox shares a serial; their files still differ by index). The
// size is the file's now, with writes through any handle.
BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation)
{
    FileRef file(hFile);
    if (!file)
        return host::files::FailNotAFile(hFile);
    if (lpFileInformation == nullptr)
        return host::files::Fail(ERROR_INVALID_PARAMETER);
    host::files::EntryInfo info;
    struct stat st;
    if (ULONG error = file->ReadAttributes(&info); error != ERROR_SUCCESS)
        return host::files::Fail(error);
    if (fstat(file->fd, &st) != 0)
        return host::files::Fail(host::files::FromErrno(errno));
    ULONGLONG size = file->directory ? 0 : static_cast<ULONGLONG>(st.st_size);
    ULONGLONG device = static_cast<ULONGLONG>(st.st_dev);
    ULONGLONG index = static_cast<ULONGLONG>(st.st_ino);
    *lpFileInformation = BY_HANDLE_FILE_INFORMATION{
        info.Attributes(),
        host::files::ToFileTime(info.metadata.creation),
        host::files::ToFileTime(info.metadata.access),
        host::files::ToFileTime(info.metadata.write),
        static_cast<DWORD>(device ^ (device >> 32)),
        static_cast<DWORD>(size >> 32),
        static_cast<DWORD>(size),
        static_cast<DWORD>(st.st_nlink),
        static_cast<DWORD>(index >> 32),
        static_cast<DWORD>(index),
    };
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    return Result(host::files::DeleteEntry(WidePath(lpFileName)));
}

BOOL DeleteFileA(LPCSTR lpFileName)
{
    return Result(WithAnsiPath(lpFileName, host::files::DeleteEntry));
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags)
{
    return Result(host::files::MoveEntry(WidePath(lpExistingFileName), WidePath(lpNewFileName), dwFlags));
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    return Result(WithAnsiPath(lpExistingFileName, [&](std::u16string_view from) {
        return WithAnsiPath(
            lpNewFileName, [&](std::u16string_view to) { return host::files::MoveEntry(from, to, dwFlags); });
    }));
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName)
{
    return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists)
{
    return Result(
        host::files::CopyEntry(WidePath(lpExistingFileName), WidePath(lpNewFileName), bFailIfExists));
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
{
    return Result(WithAnsiPath(lpExistingFileName, [&](std::u16string_view from) {
        return WithAnsiPath(lpNewFileName, [&](std::u16string_view to) {
            return host::files::CopyEntry(from, to, bFailIfExists);
        });
    }));
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    return Result(host::files::CreateDirectoryEntry(WidePath(lpPathName)));
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    return Result(WithAnsiPath(lpPathName, host::files::CreateDirectoryEntry));
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName)
{
    return Result(host::files::RemoveDirectoryEntry(WidePath(lpPathName)));
}

BOOL RemoveDirectoryA(LPCSTR lpPathName)
{
    return Result(WithAnsiPath(lpPathName, host::files::RemoveDirectoryEntry));
}

BOOL GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation)
{
    if (fInfoLevelId != GetFileExInfoStandard || lpFileInformation == nullptr)
        return host::files::Fail(ERROR_INVALID_PARAMETER);
    return Result(host::files::GetAttributes(WidePath(lpFileName),
                                             static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation)));
}

BOOL GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation)
{
    if (fInfoLevelId != GetFileExInfoStandard || lpFileInformation == nullptr)
        return host::files::Fail(ERROR_INVALID_PARAMETER);
    return Result(WithAnsiPath(lpFileName, [&](std::u16string_view path) {
        return host::files::GetAttributes(path, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation));
    }));
}

DWORD GetFileAttributesW(LPCWSTR lpFileName)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(lpFileName, GetFileExInfoStandard, &data) ? data.dwFileAttributes
                                                                          : INVALID_FILE_ATTRIBUTES;
}

DWORD GetFileAttributesA(LPCSTR lpFileName)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(lpFileName, GetFileExInfoStandard, &data) ? data.dwFileAttributes
                                                                          : INVALID_FILE_ATTRIBUTES;
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes)
{
    return Result(host::files::SetAttributes(WidePath(lpFileName), dwFileAttributes));
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes)
{
    return Result(WithAnsiPath(lpFileName, [&](std::u16string_view path) {
        return host::files::SetAttributes(path, dwFileAttributes);
    }));
}

} // extern "C"
