// Windows paths in the sandbox: parsing and normalisation with the Win32 rules, the case-insensitive
// walk onto the disk, GetFullPathName and GetTempPath. See host/files.h for the mapping.
#include "file_system.h"
#include "win32_internal.h"

#include <host/io.h>
#include <host/process.h>
#include <host/utf.h>
#include <wdm.h>

#include <stdlib.h>

#include <mutex>
#include <system_error>

namespace host
{
namespace
{

constexpr size_t kMaxComponent = 255;
constexpr size_t kMaxLiteralPath = 32767;

struct Sandbox {
    std::mutex lock;
    std::filesystem::path root;
    FilesDeviceOpenHandler device;
};

Sandbox& State()
{
    static Sandbox* state = new Sandbox;
    return *state;
}

bool IsSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool IsLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

char16_t Upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
}

bool IsDriveSpec(std::u16string_view text)
{
    return text.size() >= 2 && IsLetter(text[0]) && text[1] == u':' &&
           (text.size() == 2 || IsSeparator(text[2]));
}

ULONG CheckName(std::u16string_view name, bool wildcards)
{
    for (size_t i = 0; i < name.size(); i++) {
        char16_t c = name[i];
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|')
            return ERROR_INVALID_NAME;
        if ((c == u'?' || c == u'*') && !wildcards)
            return ERROR_INVALID_NAME;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
                return ERROR_INVALID_NAME;
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return ERROR_INVALID_NAME;
        }
    }
    if (name.size() > kMaxComponent || utf::ToUtf8(name).size() > kMaxComponent)
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

// Splits `text` into components onto `components`: "." and ".." resolved (".." stops at the root) and
// trailing dots and spaces dropped, unless `literal`, which keeps every name as written.
ULONG AppendComponents(std::u16string_view text, bool literal, bool wildcards,
                       std::vector<std::u16string>* components)
{
    std::vector<std::u16string_view> segments;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || IsSeparator(text[i])) {
            if (i > start)
                segments.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    for (size_t i = 0; i < segments.size(); i++) {
        std::u16string_view segment = segments[i];
        if (!literal) {
            if (segment == u".")
                continue;
            if (segment == u"..") {
                if (!components->empty())
                    components->pop_back();
                continue;
            }
            while (!segment.empty() && (segment.back() == u'.' || segment.back() == u' '))
                segment.remove_suffix(1);
            if (segment.empty())
                continue;
        } else if (segment == u"." || segment == u"..") {
            return ERROR_INVALID_NAME;
        }
        components->emplace_back(segment);
    }
    // Only the last component may be a search pattern; names are checked after normalisation, as
    // Windows checks only what remains of the path.
    for (size_t i = 0; i < components->size(); i++) {
        ULONG error = CheckName((*components)[i], wildcards && i + 1 == components->size());
        if (error != ERROR_SUCCESS)
            return error;
    }
    return ERROR_SUCCESS;
}

// The current directory's drive and components; a directory that is not a drive path counts as C:\.
void CurrentDirectory(char16_t* drive, std::vector<std::u16string>* components)
{
    std::u16string cwd = CurrentProcess().currentDirectory;
    std::u16string_view view = cwd;
    if (view.size() >= 4 && IsSeparator(view[0]) && IsSeparator(view[1]) && view[2] == u'?' &&
        IsSeparator(view[3]))
        view.remove_prefix(4);
    *drive = u'C';
    components->clear();
    if (!IsDriveSpec(view))
        return;
    if (AppendComponents(view.substr(2), false, false, components) != ERROR_SUCCESS) {
        components->clear();
        return;
    }
    *drive = Upper(view[0]);
}

// The entry of `directory` that Windows would open for `name`: the exact name, else a case-insensitive
// match. Empty when none exists.
std::string FindEntry(const std::filesystem::path& directory, std::u16string_view name)
{
    std::string exact = utf::ToUtf8(name);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(directory / exact, ec)))
        return exact;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        std::u16string visible;
        if (files::VisibleName(entry.path(), &visible) && files::NamesEqual(visible, name))
            return entry.path().filename().string();
    }
    return {};
}

} // namespace

void FilesSetSandbox(const std::filesystem::path& root)
{
    std::filesystem::path absolute;
    if (!root.empty()) {
        absolute = std::filesystem::absolute(root);
        std::filesystem::create_directories(absolute / "C" / "Windows" / "System32");
        std::filesystem::create_directories(absolute / "C" / "Windows" / "Temp");
    }
    Sandbox& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.root = absolute;
}

std::filesystem::path FilesSandbox()
{
    Sandbox& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.root;
}

FilesTemporarySandbox::FilesTemporarySandbox()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "wwan-sandbox-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root_ = pattern;
    FilesSetSandbox(root_);
}

FilesTemporarySandbox::~FilesTemporarySandbox()
{
    if (FilesSandbox() == root_)
        FilesSetSandbox({});
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

ULONG FilesResolve(std::u16string_view path, FilesResolved* resolved)
{
    return files::Resolve(path, resolved);
}

void FilesSetDeviceOpenHandler(FilesDeviceOpenHandler handler)
{
    Sandbox& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.device = std::move(handler);
}

namespace files
{

ULONG ParsePath(std::u16string_view path, bool wildcards, ParsedPath* parsed)
{
    *parsed = ParsedPath{};
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    if (path.find(u'\0') != std::u16string_view::npos)
        return ERROR_INVALID_NAME;
    std::u16string_view rest;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // \\.\ and \\?\ (either separator) are the local device forms; anything else is a network path.
        if (path.size() < 4 || (path[2] != u'.' && path[2] != u'?') || !IsSeparator(path[3]))
            return ERROR_BAD_PATHNAME;
        std::u16string_view after = path.substr(4);
        if (!IsDriveSpec(after)) {
            parsed->device = true;
            parsed->windowsPath = path;
            return ERROR_SUCCESS;
        }
        parsed->literal = path.substr(0, 4) == u"\\\\?\\";
        parsed->drive = Upper(after[0]);
        rest = after.substr(2);
    } else if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
        parsed->drive = Upper(path[0]);
        rest = path.substr(2);
        if (rest.empty() || !IsSeparator(rest[0])) {
            char16_t drive;
            std::vector<std::u16string> current;
            CurrentDirectory(&drive, &current);
            if (drive == parsed->drive)
                parsed->components = std::move(current);
        }
    } else {
        CurrentDirectory(&parsed->drive, &parsed->components);
        if (IsSeparator(path[0]))
            parsed->components.clear();
        rest = path;
    }
    parsed->trailingSeparator = !rest.empty() && IsSeparator(rest.back());
    ULONG error = AppendComponents(rest, parsed->literal, wildcards, &parsed->components);
    if (error != ERROR_SUCCESS)
        return error;
    std::u16string& full = parsed->windowsPath;
    if (parsed->literal)
        full = u"\\\\?\\";
    full += parsed->drive;
    full += u":\\";
    for (size_t i = 0; i < parsed->components.size(); i++) {
        if (i > 0)
            full += u'\\';
        full += parsed->components[i];
    }
    if (parsed->trailingSeparator && !parsed->components.empty())
        full += u'\\';
    return ERROR_SUCCESS;
}

ULONG Locate(const ParsedPath& parsed, FilesResolved* resolved)
{
    *resolved = FilesResolved{};
    resolved->windowsPath = parsed.windowsPath;
    if (parsed.literal ? parsed.windowsPath.size() > kMaxLiteralPath : parsed.windowsPath.size() >= MAX_PATH)
        return parsed.literal ? ERROR_FILENAME_EXCED_RANGE : ERROR_PATH_NOT_FOUND;
    std::filesystem::path root = FilesSandbox();
    if (root.empty())
        return ERROR_PATH_NOT_FOUND;
    std::error_code ec;
    std::filesystem::path disk = root / std::string(1, static_cast<char>(parsed.drive));
    bool present = std::filesystem::is_directory(std::filesystem::symlink_status(disk, ec));
    resolved->parentExists = present;
    resolved->exists = present;
    for (const std::u16string& component : parsed.components) {
        resolved->parentExists = present;
        std::string name = present ? FindEntry(disk, component) : std::string();
        resolved->exists = !name.empty();
        disk /= resolved->exists ? name : utf::ToUtf8(component);
        present =
            resolved->exists && std::filesystem::is_directory(std::filesystem::symlink_status(disk, ec));
    }
    resolved->disk = std::move(disk);
    return ERROR_SUCCESS;
}

ULONG Resolve(std::u16string_view path, FilesResolved* resolved)
{
    ParsedPath parsed;
    ULONG error = ParsePath(path, false, &parsed);
    if (error != ERROR_SUCCESS)
        return error;
    if (parsed.device)
        return ERROR_FILE_NOT_FOUND;
    return Locate(parsed, resolved);
}

bool NamesEqual(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i]))
            return false;
    return true;
}

bool VisibleName(const std::filesystem::path& entry, std::u16string* name)
{
    std::string text = entry.filename().string();
    if (text.find(':') != std::string::npos)
        return false;
    *name = utf::ToUtf16(text);
    return true;
}

ULONG AnsiPath(LPCSTR path, std::u16string* wide)
{
    if (path == nullptr || *path == '\0')
        return ERROR_PATH_NOT_FOUND;
    size_t length = strnlen(path, MAX_PATH + 1);
    if (length > MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    *wide = AnsiToUtf16(std::string_view(path, length));
    return ERROR_SUCCESS;
}

template <typename Char> DWORD CopyOutText(std::basic_string_view<Char> text, Char* buffer, DWORD capacity)
{
    if (buffer == nullptr || capacity <= text.size())
        return static_cast<DWORD>(text.size() + 1);
    memcpy(buffer, text.data(), text.size() * sizeof(Char));
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

DWORD CopyOut(std::u16string_view text, LPWSTR buffer, DWORD capacity)
{
    return CopyOutText(text, buffer, capacity);
}

DWORD CopyOut(std::string_view text, LPSTR buffer, DWORD capacity)
{
    return CopyOutText(text, buffer, capacity);
}

HANDLE OpenDevice(const FilesDeviceOpen& open, ULONG* error)
{
    FilesDeviceOpenHandler handler;
    {
        Sandbox& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        handler = state.device;
    }
    if (handler)
        return handler(open, error);
    // The I/O manager's open: the creation disposition means nothing to a device, so every one is
    // accepted, as Windows does.
    HANDLE handle = nullptr;
    NTSTATUS status = IoOpen(open.path, &handle);
    *error = win32::ErrorFromStatus(status);
    return NT_SUCCESS(status) ? handle : nullptr;
}

} // namespace files
} // namespace host

namespace
{

// The temporary directory as Windows chooses it: TMP, TEMP, USERPROFILE, then the Windows directory;
// always a full path ending in a backslash.
std::u16string TempPath()
{
    const auto& environment = host::CurrentProcess().environment;
    std::u16string chosen = u"C:\\Windows\\Temp";
    for (const char16_t* name : {u"TMP", u"TEMP", u"USERPROFILE"}) {
        auto it = environment.find(name);
        if (it != environment.end() && !it->second.empty()) {
            chosen = it->second;
            break;
        }
    }
    host::files::ParsedPath parsed;
    if (host::files::ParsePath(chosen, false, &parsed) == ERROR_SUCCESS && !parsed.device)
        chosen = parsed.windowsPath;
    if (chosen.back() != u'\\')
        chosen += u'\\';
    return chosen;
}

// GetFullPathName's result and the offset of its last component (npos when it ends in a separator).
ULONG FullPath(std::u16string_view path, std::u16string* full, size_t* filePart)
{
    host::files::ParsedPath parsed;
    ULONG error = host::files::ParsePath(path, true, &parsed);
    if (error != ERROR_SUCCESS)
        return error;
    *full = parsed.windowsPath;
    size_t slash = full->find_last_of(u'\\');
    *filePart = parsed.device || slash + 1 == full->size() ? std::u16string::npos : slash + 1;
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    return host::files::CopyOut(TempPath(), lpBuffer, nBufferLength);
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer)
{
    return host::files::CopyOut(host::Utf16ToAnsi(TempPath()), lpBuffer, nBufferLength);
}

DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart)
{
    std::u16string full;
    size_t filePart = 0;
    ULONG error = lpFileName == nullptr ? ERROR_INVALID_PARAMETER : FullPath(lpFileName, &full, &filePart);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    DWORD result = host::files::CopyOut(full, lpBuffer, nBufferLength);
    if (lpFilePart != nullptr && result == full.size())
        *lpFilePart = filePart == std::u16string::npos ? nullptr : lpBuffer + filePart;
    return result;
}

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart)
{
    std::u16string wide;
    std::u16string full;
    size_t filePart = 0;
    ULONG error = host::files::AnsiPath(lpFileName, &wide);
    if (error == ERROR_SUCCESS)
        error = FullPath(wide, &full, &filePart);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    std::string ansi = host::Utf16ToAnsi(full);
    DWORD result = host::files::CopyOut(ansi, lpBuffer, nBufferLength);
    if (lpFilePart != nullptr && result == ansi.size())
        *lpFilePart =
            filePart == std::u16string::npos
                ? nullptr
                : lpBuffer + host::Utf16ToAnsi(std::u16string_view(full).substr(0, filePart)).size();
    return result;
}

} // extern "C"
