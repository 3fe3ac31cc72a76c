// Windows paths from outside (names in packages, configuration files, command lines) mapped into the
// sandbox: every path gets an answer, what resolves stays inside the sandbox, normalisation is a fixed
// point, GetFullPathName agrees with it, and a file created through it lands in the sandbox. First byte:
// bit 0 also creates (and deletes) a file at the path, bit 1 resolves it from a deeper current
// directory; the rest is the path as UTF-16LE.
#include <host/files.h>
#include <host/host.h>
#include <host/process.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace
{

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

host::FilesTemporarySandbox* g_sandbox;

bool Inside(const std::filesystem::path& path)
{
    std::string root = g_sandbox->Root().string() + "/";
    std::string text = path.lexically_normal().string();
    return text.compare(0, root.size(), root) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    host::Start(host::Config{});
    static host::FilesTemporarySandbox sandbox;
    g_sandbox = &sandbox;
    std::filesystem::create_directories(sandbox.Root() / "C" / "Dir" / "Sub");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 2 * 1024)
        return 0;
    uint8_t mode = data[0];
    std::u16string path((size - 1) / 2, u'\0');
    memcpy(path.data(), data + 1, path.size() * 2);
    host::CurrentProcess().currentDirectory = (mode & 2) ? u"C:\\Dir\\Sub" : u"C:\\";

    host::FilesResolved resolved;
    ULONG error = host::FilesResolve(path, &resolved);
    if (error != ERROR_SUCCESS)
        return 0;
    Check(Inside(resolved.disk));
    for (const auto& part : resolved.disk.lexically_relative(g_sandbox->Root()))
        Check(part != ".." && part != ".");
    host::FilesResolved again;
    Check(host::FilesResolve(resolved.windowsPath, &again) == ERROR_SUCCESS);
    Check(again.windowsPath == resolved.windowsPath && again.disk == resolved.disk);

    if (path.find(u'\0') == std::u16string::npos) {
        WCHAR full[MAX_PATH * 4];
        DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
        Check(n == 0 || n > MAX_PATH * 4 || std::u16string_view(full, n) == resolved.windowsPath);
        if ((mode & 1) && !resolved.exists) {
            HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
                host::FilesResolved created;
                Check(host::FilesResolve(path, &created) == ERROR_SUCCESS && created.exists &&
                      Inside(created.disk));
                Check(DeleteFileW(path.c_str()));
            }
        }
    }
    return 0;
}
