// Process-wide Win32 queries answered by the calling thread's process context: environment, current
// directory, module paths; and the entry points of libraries as the loader attaches and detaches them.
#include <libloaderapi.h>
#include <processenv.h>

#include <host/process.h>

#include "kernel/hive.h"
#include "win32_internal.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

using host::win32::CopyOut;
using host::win32::Fail;
using host::win32::Native;
using host::win32::Wide;

namespace host {
namespace {

struct Library {
    std::u16string path;
    LibraryEntry entry = nullptr;
    std::vector<Library*> imports;
    std::map<ULONG, int> attached; // process id -> attachments
};

struct Loader {
    std::recursive_mutex lock; // the loader lock: held while entry points run
    std::vector<std::unique_ptr<Library>> libraries;
};

Loader& TheLoader()
{
    static Loader* loader = new Loader;
    return *loader;
}

// The process image's module handle: where a 64-bit executable is usually based.
const HMODULE kProcessImage = reinterpret_cast<HMODULE>(0x140000000ULL);

Library* LibraryOf(HMODULE module)
{
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    for (const auto& library : loader.libraries)
        if (reinterpret_cast<HMODULE>(library.get()) == module)
            return library.get();
    return nullptr;
}

HMODULE ModuleOf(Library* library) { return reinterpret_cast<HMODULE>(library); }

void Detach(Library* library, ULONG process, bool ending)
{
    if (--library->attached[process] > 0)
        return;
    library->attached.erase(process);
    if (library->entry != nullptr)
        library->entry(ModuleOf(library), DLL_PROCESS_DETACH, ending ? reinterpret_cast<LPVOID>(1) : nullptr);
    for (auto it = library->imports.rbegin(); it != library->imports.rend(); ++it)
        Detach(*it, process, ending);
}

bool Attach(Library* library, ULONG process, bool start)
{
    if (library->attached[process]++ > 0)
        return true;
    size_t imported = 0;
    for (; imported < library->imports.size(); imported++)
        if (!Attach(library->imports[imported], process, start))
            break;
    bool ok = imported == library->imports.size();
    if (ok && library->entry != nullptr &&
        !library->entry(ModuleOf(library), DLL_PROCESS_ATTACH, start ? reinterpret_cast<LPVOID>(1) : nullptr)) {
        library->entry(ModuleOf(library), DLL_PROCESS_DETACH, nullptr);
        ok = false;
    }
    if (ok)
        return true;
    while (imported-- > 0)
        Detach(library->imports[imported], process, false);
    library->attached.erase(process);
    return false;
}

// The path of a module handle; false for a handle that names nothing.
bool ModulePath(HMODULE module, std::u16string* path)
{
    if (module == nullptr || module == kProcessImage) {
        *path = CurrentProcess().imagePath;
        return true;
    }
    Library* library = LibraryOf(module);
    if (library == nullptr)
        return false;
    *path = library->path;
    return true;
}

template <class C>
DWORD ModuleFileName(HMODULE module, C* buffer, DWORD size)
{
    std::u16string path;
    if (!ModulePath(module, &path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr && size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::basic_string<C> text = Native<C>(path);
    if (text.size() < size) {
        std::char_traits<C>::copy(buffer, text.c_str(), text.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(text.size());
    }
    // Truncated and still terminated.
    if (size > 0) {
        std::char_traits<C>::copy(buffer, text.c_str(), size - 1);
        buffer[size - 1] = 0;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

template <class C>
HMODULE ModuleHandle(const C* name)
{
    if (name == nullptr)
        return kProcessImage;
    std::u16string wanted = Wide(name);
    ULONG process = CurrentProcess().id;
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    for (const auto& library : loader.libraries) {
        std::u16string_view path = library->path;
        std::u16string_view file = path.substr(path.find_last_of(u'\\') + 1);
        if (library->attached.count(process) != 0 &&
            (hive::NamesEqual(wanted, path) || hive::NamesEqual(wanted, file)))
            return ModuleOf(library.get());
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

template <class C>
DWORD EnvironmentVariable(const C* name, C* buffer, DWORD size)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Process& process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process.lock);
    auto it = process.environment.find(Wide(name));
    if (it == process.environment.end()) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return CopyOut(it->second, buffer, size);
}

template <class C>
BOOL SetEnvironment(const C* name, const C* value)
{
    if (name == nullptr || name[0] == 0 || Wide(name).find(u'=', 1) != std::u16string::npos)
        return Fail(ERROR_INVALID_PARAMETER);
    Process& process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process.lock);
    if (value == nullptr)
        process.environment.erase(Wide(name));
    else
        process.environment[Wide(name)] = Wide(value);
    return TRUE;
}

template <class C>
DWORD CurrentDirectory(DWORD size, C* buffer)
{
    Process& process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process.lock);
    return CopyOut(process.currentDirectory, buffer, size);
}

bool IsDriveAbsolute(std::u16string_view path)
{
    return path.size() >= 3 && ((path[0] | 0x20) >= u'a' && (path[0] | 0x20) <= u'z') && path[1] == u':' &&
           (path[2] == u'\\' || path[2] == u'/');
}

// Only the syntax is checked: the file system belongs to the file services. Relative paths are taken
// from the current directory; "." and ".." components are kept as written.
template <class C>
BOOL SetDirectory(const C* pathName)
{
    if (pathName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::u16string path = Wide(pathName);
    if (path.empty())
        return Fail(ERROR_INVALID_NAME);
    for (char16_t c : path)
        if (c < 0x20 || std::u16string_view(u"<>\"|?*").find(c) != std::u16string_view::npos)
            return Fail(ERROR_INVALID_NAME);
    if (path.find(u':') != std::u16string::npos && !IsDriveAbsolute(path))
        return Fail(ERROR_INVALID_NAME);
    Process& process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process.lock);
    std::u16string full;
    if (IsDriveAbsolute(path))
        full = path;
    else if (path.front() == u'\\' || path.front() == u'/')
        full = process.currentDirectory.substr(0, 2) + path; // rooted on the current drive
    else
        full = process.currentDirectory + (process.currentDirectory.ends_with(u'\\') ? u"" : u"\\") + path;
    std::replace(full.begin(), full.end(), u'/', u'\\');
    while (full.size() > 3 && full.back() == u'\\')
        full.pop_back();
    if (full.size() >= MAX_PATH - 1)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    process.currentDirectory = std::move(full);
    return TRUE;
}

} // namespace

HMODULE LibraryRegister(const std::u16string& path, LibraryEntry entry, std::vector<HMODULE> imports)
{
    auto library = std::make_unique<Library>();
    library->path = path;
    library->entry = entry;
    for (HMODULE import : imports)
        if (Library* imported = LibraryOf(import))
            library->imports.push_back(imported);
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    loader.libraries.push_back(std::move(library));
    return ModuleOf(loader.libraries.back().get());
}

BOOL LibraryAttach(HMODULE module, bool processStart)
{
    Library* library = LibraryOf(module);
    if (library == nullptr)
        return Fail(ERROR_MOD_NOT_FOUND);
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    return Attach(library, CurrentProcess().id, processStart) ? TRUE : Fail(ERROR_DLL_INIT_FAILED);
}

void LibraryDetach(HMODULE module, bool processEnding)
{
    Library* library = LibraryOf(module);
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    ULONG process = CurrentProcess().id;
    if (library != nullptr && library->attached.count(process) != 0)
        Detach(library, process, processEnding);
}

} // namespace host

using namespace host;

extern "C" {

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    return ModuleFileName(hModule, lpFilename, nSize);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    return ModuleFileName(hModule, lpFilename, nSize);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) { return ModuleHandle(lpModuleName); }

HMODULE GetModuleHandleA(LPCSTR lpModuleName) { return ModuleHandle(lpModuleName); }

BOOL DisableThreadLibraryCalls(HMODULE hLibModule)
{
    return LibraryOf(hLibModule) != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    return EnvironmentVariable(lpName, lpBuffer, nSize);
}

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    return EnvironmentVariable(lpName, lpBuffer, nSize);
}

BOOL SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) { return SetEnvironment(lpName, lpValue); }

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) { return SetEnvironment(lpName, lpValue); }

DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize)
{
    if (lpSrc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string_view source(lpSrc);
    std::u16string out;
    {
        Process& process = CurrentProcess();
        std::lock_guard<std::mutex> guard(process.lock);
        for (size_t i = 0; i < source.size();) {
            size_t close = source[i] == u'%' ? source.find(u'%', i + 1) : std::u16string_view::npos;
            auto it = close != std::u16string_view::npos
                          ? process.environment.find(std::u16string(source.substr(i + 1, close - i - 1)))
                          : process.environment.end();
            if (it != process.environment.end()) {
                out += it->second;
                i = close + 1;
            } else {
                out += source[i++];
            }
        }
    }
    if (lpDst != nullptr && nSize > out.size())
        std::char_traits<char16_t>::copy(lpDst, out.c_str(), out.size() + 1);
    return static_cast<DWORD>(out.size() + 1);
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) { return CurrentDirectory(nBufferLength, lpBuffer); }

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) { return CurrentDirectory(nBufferLength, lpBuffer); }

BOOL SetCurrentDirectoryW(LPCWSTR lpPathName) { return SetDirectory(lpPathName); }

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) { return SetDirectory(lpPathName); }

} // extern "C"
