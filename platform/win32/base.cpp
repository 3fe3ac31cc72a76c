// The Win32 base every user-mode area shares: the last error, closing handles, process contexts.
#include <errhandlingapi.h>
#include <handleapi.h>
#include <winerror.h>

#include <host/object.h>
#include <host/process.h>
#include <wdm.h>

#include <atomic>

namespace host
{
namespace
{

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local std::shared_ptr<Process> t_process;
std::atomic<ULONG> g_nextProcessId{4};

std::shared_ptr<Process>& DefaultProcess()
{
    static auto* process = new std::shared_ptr<Process>(ProcessCreate(u"C:\\Windows\\System32\\host.exe"));
    return *process;
}

} // namespace

bool EnvironmentNameLess::operator()(const std::u16string& a, const std::u16string& b) const
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        WCHAR x = RtlUpcaseUnicodeChar(a[i]);
        WCHAR y = RtlUpcaseUnicodeChar(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

std::shared_ptr<Process> ProcessCreate(const std::u16string& imagePath)
{
    auto process = std::make_shared<Process>();
    process->id = g_nextProcessId.fetch_add(4); // process ids are multiples of four, as on Windows
    process->imagePath = imagePath;
    size_t slash = imagePath.find_last_of(u'\\');
    process->currentDirectory = slash == std::u16string::npos ? u"C:\\" : imagePath.substr(0, slash);
    return process;
}

Process& CurrentProcess()
{
    return *CurrentProcessShared();
}

std::shared_ptr<Process> CurrentProcessShared()
{
    return t_process ? t_process : DefaultProcess();
}

void SetCurrentProcess(std::shared_ptr<Process> process)
{
    t_process = std::move(process);
}

} // namespace host

extern "C" {

DWORD GetLastError(void)
{
    return host::t_lastError;
}

void SetLastError(DWORD dwErrCode)
{
    host::t_lastError = dwErrCode;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (!NT_SUCCESS(host::HandleClose(hObject))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
