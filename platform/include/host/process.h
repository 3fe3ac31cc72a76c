// Process contexts. Every deliverable lives in one Linux process, but on Windows the service and the
// user-mode drivers' host are separate processes: each thread belongs to one emulated process, which
// answers process-wide queries (id, image path, current directory, environment, session).
#pragma once

#include <windef.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

// Case-insensitive ordering for environment names, as Windows compares them.
struct EnvironmentNameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct Process {
    // Guards currentDirectory and environment once threads of the process run (the Win32 calls take it).
    mutable std::mutex lock;
    ULONG id = 0;
    std::u16string imagePath;        // what GetModuleFileName(NULL, ...) answers
    std::u16string currentDirectory; // a Windows path, e.g. u"C:\\Windows\\System32"
    std::map<std::u16string, std::u16string, EnvironmentNameLess> environment;
    ULONG sessionId = 0;
};

// Creates a process context with a fresh id; its fields may be set before threads use it.
std::shared_ptr<Process> ProcessCreate(const std::u16string& imagePath);
// The calling thread's process; threads that were never given one belong to the default process.
Process& CurrentProcess();
std::shared_ptr<Process> CurrentProcessShared();
// Moves the calling thread into `process` (the loader and tests do this; created threads inherit it).
void SetCurrentProcess(std::shared_ptr<Process> process);

// Libraries and their entry points (DllMain). The loader registers each library image with the
// libraries it imports, then attaches and detaches it in the calling thread's process; entry points run
// under one recursive loader lock, as on Windows. GetModuleFileName answers `path` for the handle.
using LibraryEntry = BOOL (*)(HMODULE module, DWORD reason, LPVOID reserved);
HMODULE LibraryRegister(const std::u16string& path, LibraryEntry entry, std::vector<HMODULE> imports = {});
// DLL_PROCESS_ATTACH to the imports first (each once per process, however many importers), then to the
// library; reserved is non-null for a load at process start. An entry point returning FALSE fails the
// load: that library gets DLL_PROCESS_DETACH, the imports attached for it are detached, and the result
// is FALSE with ERROR_DLL_INIT_FAILED.
BOOL LibraryAttach(HMODULE module, bool processStart = false);
// DLL_PROCESS_DETACH to the library, then to its imports no other library holds; reserved is non-null
// when the process is ending.
void LibraryDetach(HMODULE module, bool processEnding = false);

} // namespace host
