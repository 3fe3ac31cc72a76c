// Process contexts. Every deliverable lives in one Linux process, but on Windows the service and the
// user-mode drivers' host are separate processes: each thread belongs to one emulated process, which
// answers process-wide queries (id, image path, current directory, environment, session).
#pragma once

#include <ntdef.h>

#include <map>
#include <memory>
#include <string>

namespace host {

// Case-insensitive ordering for environment names, as Windows compares them.
struct EnvironmentNameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct Process {
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

} // namespace host
