// MmGetSystemRoutineAddress: names in the host's export table resolve to the platform library's own
// functions; everything else is absent, as on a system that predates it.
#include <host/routines.h>
#include <wdm.h>

#include <dlfcn.h>

#include <mutex>
#include <set>

namespace host {
namespace {

struct RoutineTable {
    std::mutex lock;
    std::set<std::string, std::less<>> present{
        "ExAllocatePool2",
        "ExFreePool",
        "ExFreePoolWithTag",
        "KeGetCurrentProcessorNumberEx",
        "KeGetProcessorNumberFromIndex",
        "KeQueryActiveProcessorCountEx",
        "KeQueryInterruptTimePrecise",
        "KeQuerySystemTimePrecise",
        "KeSetTargetProcessorDpcEx",
        "MmAllocateContiguousMemorySpecifyCache",
        "MmMapIoSpaceEx",
        "RtlInitUnicodeStringEx",
        "RtlQueryRegistryValues",
        "RtlQueryRegistryValuesEx",
    };
    void* library = nullptr;           // the platform library's handle, for dlsym
    const void* libraryBase = nullptr; // its load base, to tell its own functions from its dependencies
};

RoutineTable& Table()
{
    static RoutineTable* table = new RoutineTable;
    return *table;
}

// Caller holds the table's lock.
bool OpenPlatformLibrary(RoutineTable& table)
{
    if (table.library != nullptr)
        return true;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(&MmGetSystemRoutineAddress), &info))
        return false;
    table.library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    table.libraryBase = info.dli_fbase;
    return table.library != nullptr;
}

} // namespace

void SystemRoutineSetPresent(const std::string& name, bool present)
{
    RoutineTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (present)
        table.present.insert(name);
    else
        table.present.erase(name);
}

} // namespace host

extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr)
        return nullptr;
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); i++) {
        WCHAR c = SystemRoutineName->Buffer[i];
        if (c == 0 || c > 0x7f)
            return nullptr; // exported names are plain ASCII
        name += static_cast<char>(c);
    }
    host::RoutineTable& table = host::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.present.find(name) == table.present.end() || !host::OpenPlatformLibrary(table))
        return nullptr;
    void* routine = dlsym(table.library, name.c_str());
    Dl_info where{};
    if (routine == nullptr || !dladdr(routine, &where) || where.dli_fbase != table.libraryBase)
        return nullptr;
    return routine;
}
