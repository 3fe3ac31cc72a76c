// The C runtime's file functions: streams over Win32 file handles (see crt/stdio_file.h).
#include <crt/stdio_file.h>

#include <windows.h>

#include <host/ansi.h>
#include <host/utf.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace
{

enum class Encoding { Ansi, Utf8, Utf16 };

struct Stream {
    HANDLE handle = INVALID_HANDLE_VALUE;
    int fd = -1;
    bool text = true;
    bool append = false;
    Encoding encoding = Encoding::Ansi;
    bool started = false; // fgetws has looked for a byte-order mark
    int pendingUnit = -1; // a unit fgetws read ahead (a low surrogate, or what followed a CR)

    // Text translation happens on bytes, so not for UTF-16 text, whose CR LF fgetws folds itself.
    bool Translates() const { return text && encoding != Encoding::Utf16; }
};

struct Runtime {
    std::mutex lock;
    std::vector<Stream*> descriptors{nullptr, nullptr, nullptr}; // 0..2 are the standard streams
    std::map<FILE*, Stream*> streams;
};

Runtime& State()
{
    static auto* runtime = new Runtime;
    return *runtime;
}

Stream* Lookup(FILE* file)
{
    Runtime& runtime = State();
    std::lock_guard<std::mutex> guard(runtime.lock);
    auto it = runtime.streams.find(file);
    return it == runtime.streams.end() ? nullptr : it->second;
}

Stream* Descriptor(int fd)
{
    Runtime& runtime = State();
    std::lock_guard<std::mutex> guard(runtime.lock);
    return fd >= 0 && static_cast<size_t>(fd) < runtime.descriptors.size() ? runtime.descriptors[fd]
                                                                           : nullptr;
}

// The runtime's translation of a Win32 error into errno.
int ErrnoFromWin32(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    default:
        return EINVAL;
    }
}

int FailWin32()
{
    errno = ErrnoFromWin32(GetLastError());
    return -1;
}

// ---- the cookie callbacks ----

ssize_t ReadRaw(Stream* stream, char* buffer, size_t size)
{
    DWORD n = 0;
    if (!ReadFile(stream->handle, buffer, static_cast<DWORD>(size < 0x40000000 ? size : 0x40000000), &n,
                  nullptr))
        return FailWin32();
    return n;
}

bool Rewind(Stream* stream, LONGLONG bytes)
{
    LARGE_INTEGER distance;
    distance.QuadPart = -bytes;
    return SetFilePointerEx(stream->handle, distance, nullptr, FILE_CURRENT) != FALSE;
}

ssize_t CookieRead(void* cookie, char* buffer, size_t size)
{
    auto* stream = static_cast<Stream*>(cookie);
    ssize_t n = ReadRaw(stream, buffer, size);
    if (n <= 0 || !stream->Translates())
        return n;
    size_t out = 0;
    for (ssize_t i = 0; i < n; i++) {
        char c = buffer[i];
        if (c == 0x1A) { // Ctrl-Z ends text; it stays in the file for the next read to stop at
            if (!Rewind(stream, n - i))
                return FailWin32();
            break;
        }
        if (c == '\r') {
            bool lineFeed;
            if (i + 1 < n) {
                lineFeed = buffer[i + 1] == '\n';
                i += lineFeed ? 1 : 0;
            } else { // the pair may straddle two reads: look one byte ahead
                char next = 0;
                ssize_t more = ReadRaw(stream, &next, 1);
                if (more < 0)
                    return -1;
                lineFeed = more == 1 && next == '\n';
                if (more == 1 && !lineFeed && !Rewind(stream, 1))
                    return FailWin32();
            }
            if (lineFeed)
                c = '\n';
        }
        buffer[out++] = c;
    }
    return static_cast<ssize_t>(out);
}

ssize_t CookieWrite(void* cookie, const char* buffer, size_t size)
{
    auto* stream = static_cast<Stream*>(cookie);
    std::string translated;
    const char* data = buffer;
    size_t length = size;
    if (stream->Translates()) {
        translated.reserve(size + size / 8);
        for (size_t i = 0; i < size; i++) {
            if (buffer[i] == '\n')
                translated += '\r';
            translated += buffer[i];
        }
        data = translated.data();
        length = translated.size();
    }
    DWORD written = 0;
    LARGE_INTEGER end{};
    if (stream->append && !SetFilePointerEx(stream->handle, end, nullptr, FILE_END)) {
        errno = ErrnoFromWin32(GetLastError());
        return 0;
    }
    if (!WriteFile(stream->handle, data, static_cast<DWORD>(length), &written, nullptr) ||
        written != length) {
        errno = ErrnoFromWin32(GetLastError());
        return 0;
    }
    return static_cast<ssize_t>(size);
}

int CookieSeek(void* cookie, off64_t* offset, int whence)
{
    auto* stream = static_cast<Stream*>(cookie);
    DWORD method = whence == SEEK_SET ? FILE_BEGIN : whence == SEEK_CUR ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance;
    LARGE_INTEGER position;
    distance.QuadPart = *offset;
    if (!SetFilePointerEx(stream->handle, distance, &position, method))
        return FailWin32();
    *offset = position.QuadPart;
    return 0;
}

int CookieClose(void* cookie)
{
    auto* stream = static_cast<Stream*>(cookie);
    {
        Runtime& runtime = State();
        std::lock_guard<std::mutex> guard(runtime.lock);
        runtime.descriptors[stream->fd] = nullptr;
        for (auto it = runtime.streams.begin(); it != runtime.streams.end(); ++it) {
            if (it->second == stream) {
                runtime.streams.erase(it);
                break;
            }
        }
    }
    BOOL closed = CloseHandle(stream->handle);
    delete stream;
    return closed ? 0 : -1;
}

// ---- opening ----

struct Mode {
    DWORD access = 0;
    DWORD disposition = 0;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    bool text = true;
    bool append = false;
    Encoding encoding = Encoding::Ansi;
    std::string library; // the mode fopencookie is given
};

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? a[i] - 0x20 : a[i];
        char16_t y = b[i] >= u'a' && b[i] <= u'z' ? b[i] - 0x20 : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool ParseMode(std::u16string_view text, Mode* mode)
{
    if (text.empty())
        return false;
    bool plus = false;
    bool translation = false;
    bool exclusive = false;
    size_t i = 1;
    for (; i < text.size() && text[i] != u','; i++) {
        switch (text[i]) {
        case u'+':
            if (plus)
                return false;
            plus = true;
            break;
        case u't':
        case u'b':
            if (translation)
                return false;
            translation = true;
            mode->text = text[i] == u't';
            break;
        case u'x':
            exclusive = true;
            break;
        case u'T':
            mode->flags |= FILE_ATTRIBUTE_TEMPORARY;
            break;
        case u'D':
            mode->flags |= FILE_FLAG_DELETE_ON_CLOSE;
            break;
        case u'c':
        case u'n':
        case u'S':
        case u'R':
        case u'N':
        case u' ':
            break;
        default:
            return false;
        }
    }
    if (i < text.size()) {
        std::u16string_view rest = text.substr(i + 1);
        while (!rest.empty() && rest.front() == u' ')
            rest.remove_prefix(1);
        if (rest.size() < 4 || !EqualsIgnoringCase(rest.substr(0, 4), u"ccs="))
            return false;
        std::u16string_view name = rest.substr(4);
        if (EqualsIgnoringCase(name, u"UTF-8"))
            mode->encoding = Encoding::Utf8;
        else if (EqualsIgnoringCase(name, u"UTF-16LE") || EqualsIgnoringCase(name, u"UNICODE"))
            mode->encoding = Encoding::Utf16;
        else
            return false;
    }
    switch (text[0]) {
    case u'r':
        mode->access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
        mode->disposition = OPEN_EXISTING;
        mode->library = plus ? "r+" : "r";
        return !exclusive;
    case u'w':
        mode->access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        mode->disposition = exclusive ? CREATE_NEW : CREATE_ALWAYS;
        mode->library = plus ? "w+" : "w";
        return true;
    case u'a':
        mode->access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        mode->disposition = OPEN_ALWAYS;
        mode->append = true;
        mode->library = plus ? "a+" : "a";
        return !exclusive;
    default:
        return false;
    }
}

DWORD ShareMode(int shflag, DWORD access)
{
    switch (shflag) {
    case _SH_DENYRW:
        return 0;
    case _SH_DENYWR:
        return FILE_SHARE_READ;
    case _SH_DENYRD:
        return FILE_SHARE_WRITE;
    case _SH_SECURE:
        return access == GENERIC_READ ? FILE_SHARE_READ : 0;
    default:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
}

bool ValidShareFlag(int shflag)
{
    return shflag == _SH_DENYRW || shflag == _SH_DENYWR || shflag == _SH_DENYRD || shflag == _SH_DENYNO ||
           shflag == _SH_SECURE;
}

FILE* Open(const char16_t* filename, const char16_t* modeText, int shflag)
{
    Mode mode;
    if (filename == nullptr || modeText == nullptr || !ValidShareFlag(shflag) ||
        !ParseMode(modeText, &mode)) {
        errno = EINVAL;
        return nullptr;
    }
    if (mode.flags & FILE_FLAG_DELETE_ON_CLOSE)
        mode.access |= DELETE;
    HANDLE handle = CreateFileW(filename, mode.access, ShareMode(shflag, mode.access), nullptr,
                                mode.disposition, mode.flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        FailWin32();
        return nullptr;
    }
    auto* stream = new Stream;
    stream->handle = handle;
    stream->text = mode.text;
    stream->append = mode.append;
    stream->encoding = mode.encoding;
    cookie_io_functions_t functions{CookieRead, CookieWrite, CookieSeek, CookieClose};
    Runtime& runtime = State();
    std::lock_guard<std::mutex> guard(runtime.lock);
    FILE* file = fopencookie(stream, mode.library.c_str(), functions);
    if (file == nullptr) {
        CloseHandle(handle);
        delete stream;
        errno = ENOMEM;
        return nullptr;
    }
    if (stream->text)
        setvbuf(file, nullptr, _IONBF, 0);
    size_t fd = 3;
    while (fd < runtime.descriptors.size() && runtime.descriptors[fd] != nullptr)
        fd++;
    if (fd == runtime.descriptors.size())
        runtime.descriptors.push_back(nullptr);
    runtime.descriptors[fd] = stream;
    stream->fd = static_cast<int>(fd);
    runtime.streams[file] = stream;
    return file;
}

// Narrow names and modes are ANSI text.
FILE* OpenNarrow(const char* filename, const char* mode, int shflag)
{
    if (filename == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return Open(host::AnsiToUtf16(filename).c_str(), host::AnsiToUtf16(mode).c_str(), shflag);
}

errno_t Secure(FILE** stream, FILE* file)
{
    *stream = file;
    return file != nullptr ? 0 : errno;
}

int Done(BOOL ok)
{
    return ok ? 0 : FailWin32();
}

// ---- fgetws ----

int NextByte(FILE* file)
{
    return fgetc(file);
}

// One UTF-16LE unit, or -1 at the end.
int ReadUnit16(FILE* file)
{
    int low = NextByte(file);
    if (low == EOF)
        return -1;
    int high = NextByte(file);
    return high == EOF ? -1 : low | (high << 8);
}

int DecodeUtf8Unit(FILE* file, Stream* stream)
{
    int lead = NextByte(file);
    if (lead == EOF)
        return -1;
    char bytes[4] = {static_cast<char>(lead)};
    size_t length = 1;
    size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    while (length < expected) {
        int c = NextByte(file);
        if (c == EOF)
            break;
        if ((c & 0xC0) != 0x80) {
            ungetc(c, file);
            break;
        }
        bytes[length++] = static_cast<char>(c);
    }
    const char* p = bytes;
    char32_t code = host::utf::DecodeUtf8(p, bytes + length);
    char16_t units[2];
    size_t n = host::utf::EncodeUtf16(code, units);
    if (n == 2)
        stream->pendingUnit = units[1];
    return units[0];
}

int NextUnit(FILE* file, Stream* stream)
{
    if (stream == nullptr) {
        int c = NextByte(file);
        return c == EOF ? -1 : c;
    }
    if (stream->pendingUnit >= 0) {
        int unit = stream->pendingUnit;
        stream->pendingUnit = -1;
        return unit;
    }
    if (!stream->text)
        return ReadUnit16(file);
    int unit;
    switch (stream->encoding) {
    case Encoding::Ansi: {
        int c = NextByte(file);
        return c == EOF ? -1 : c;
    }
    case Encoding::Utf8:
        return DecodeUtf8Unit(file, stream);
    case Encoding::Utf16:
        unit = ReadUnit16(file);
        if (unit == u'\r') {
            int next = ReadUnit16(file);
            if (next == u'\n')
                return u'\n';
            stream->pendingUnit = next;
        }
        return unit;
    }
    return -1;
}

} // namespace

extern "C" {

FILE* _wfsopen(const char16_t* filename, const char16_t* mode, int shflag)
{
    return Open(filename, mode, shflag);
}

FILE* _wfopen(const char16_t* filename, const char16_t* mode)
{
    return Open(filename, mode, _SH_DENYNO);
}

FILE* _fsopen(const char* filename, const char* mode, int shflag)
{
    return OpenNarrow(filename, mode, shflag);
}

FILE* fopen(const char* filename, const char* mode)
{
    return OpenNarrow(filename, mode, _SH_DENYNO);
}

errno_t fopen_s(FILE** stream, const char* filename, const char* mode)
{
    if (stream == nullptr)
        return EINVAL;
    return Secure(stream, OpenNarrow(filename, mode, _SH_SECURE));
}

errno_t _wfopen_s(FILE** stream, const char16_t* filename, const char16_t* mode)
{
    if (stream == nullptr)
        return EINVAL;
    return Secure(stream, Open(filename, mode, _SH_SECURE));
}

int remove(const char* path) noexcept
{
    return Done(DeleteFileA(path));
}

int _wremove(const char16_t* path)
{
    return Done(DeleteFileW(path));
}

// An existing new name fails with EACCES, as the runtime documents.
int rename(const char* oldname, const char* newname) noexcept
{
    if (MoveFileExA(oldname, newname, MOVEFILE_COPY_ALLOWED))
        return 0;
    return GetLastError() == ERROR_ALREADY_EXISTS ? (errno = EACCES, -1) : FailWin32();
}

int _wrename(const char16_t* oldname, const char16_t* newname)
{
    if (MoveFileExW(oldname, newname, MOVEFILE_COPY_ALLOWED))
        return 0;
    return GetLastError() == ERROR_ALREADY_EXISTS ? (errno = EACCES, -1) : FailWin32();
}

int _waccess(const char16_t* path, int mode)
{
    if ((mode & ~6) != 0) {
        errno = EINVAL;
        return -1;
    }
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FailWin32();
    if ((mode & 2) && (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int _access(const char* path, int mode)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::u16string wide = host::AnsiToUtf16(path);
    return _waccess(wide.c_str(), mode);
}

int _fileno(FILE* stream)
{
    if (stream == stdin)
        return 0;
    if (stream == stdout)
        return 1;
    if (stream == stderr)
        return 2;
    Stream* s = stream != nullptr ? Lookup(stream) : nullptr;
    if (s == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return s->fd;
}

intptr_t _get_osfhandle(int fd)
{
    Stream* stream = Descriptor(fd);
    if (stream == nullptr) {
        errno = EBADF;
        return -1;
    }
    return reinterpret_cast<intptr_t>(stream->handle);
}

int64_t _filelengthi64(int fd)
{
    Stream* stream = Descriptor(fd);
    if (stream == nullptr) {
        errno = EBADF;
        return -1;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(stream->handle, &size))
        return FailWin32();
    return size.QuadPart;
}

int32_t _filelength(int fd)
{
    int64_t size = _filelengthi64(fd);
    if (size > INT32_MAX) {
        errno = EFBIG;
        return -1;
    }
    return static_cast<int32_t>(size);
}

} // extern "C"

char16_t* fgetws(char16_t* buffer, int count, FILE* stream)
{
    if (buffer == nullptr || count <= 0 || stream == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    Stream* s = Lookup(stream);
    int n = 0;
    while (n < count - 1) {
        int unit = NextUnit(stream, s);
        if (s != nullptr && !s->started) {
            s->started = true;
            if (unit == 0xFEFF && s->text && s->encoding != Encoding::Ansi)
                unit = NextUnit(stream, s);
        }
        if (unit < 0)
            break;
        buffer[n++] = static_cast<char16_t>(unit);
        if (unit == u'\n')
            break;
    }
    if (n == 0)
        return nullptr;
    buffer[n] = 0;
    return buffer;
}
