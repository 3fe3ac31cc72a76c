// File mappings backed by memory: a section is a memfd of the mapping's size and each view an mmap of
// it, so two views of one section are distinct addresses over the same pages, as on Windows. A view
// keeps its section alive after the mapping handle is closed. Mappings of files and named mappings are
// not used by the deliverables and are refused (ERROR_NOT_SUPPORTED).
#include <windows.h>

#include <host/object.h>
#include <wdm.h>

#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace
{

// Views start on this boundary, as on Windows (the allocation granularity).
constexpr ULONGLONG kGranularity = 0x10000;

class SectionObject : public host::Object
{
  public:
    SectionObject() : Object(host::ObjectKind::Section) {}
    ~SectionObject() override
    {
        if (fd >= 0)
            close(fd);
    }

    int fd = -1;
    ULONGLONG size = 0;
    bool writable = false;
};

struct View {
    SectionObject* section;
    size_t length;
};

struct Views {
    std::mutex lock;
    std::map<const void*, View> views;
};

Views& AllViews()
{
    static auto* views = new Views;
    return *views;
}

HANDLE Fail(ULONG error)
{
    SetLastError(error);
    return nullptr;
}

} // namespace

extern "C" {

HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCWSTR lpName)
{
    if (hFile != INVALID_HANDLE_VALUE || lpName != nullptr)
        return Fail(ERROR_NOT_SUPPORTED);
    ULONGLONG size = (static_cast<ULONGLONG>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    DWORD protection = flProtect & 0xFF; // the SEC_* flags above do not change a memory-backed section
    if (size == 0 || (protection != PAGE_READONLY && protection != PAGE_READWRITE))
        return Fail(ERROR_INVALID_PARAMETER);
    int fd = memfd_create("section", MFD_CLOEXEC);
    if (fd < 0)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    auto* section = new SectionObject;
    section->fd = fd;
    section->size = size;
    section->writable = protection == PAGE_READWRITE;
    HANDLE handle = host::HandleCreate(section, FILE_MAP_ALL_ACCESS);
    host::ObjectDereference(section);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName)
{
    if (lpName != nullptr)
        return Fail(ERROR_NOT_SUPPORTED);
    return CreateFileMappingW(hFile, lpFileMappingAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow,
                              nullptr);
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap)
{
    host::Object* object = nullptr;
    if (!NT_SUCCESS(
            host::HandleReference(hFileMappingObject, host::ObjectKind::Section, 0, &object, nullptr)))
        return Fail(ERROR_INVALID_HANDLE);
    auto* section = dynamic_cast<SectionObject*>(object);
    if (section == nullptr) {
        host::ObjectDereference(object);
        return Fail(ERROR_INVALID_HANDLE);
    }
    ULONGLONG offset = (static_cast<ULONGLONG>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    ULONG error = ERROR_SUCCESS;
    if ((dwDesiredAccess & (FILE_MAP_READ | FILE_MAP_WRITE)) == 0)
        error = ERROR_INVALID_PARAMETER;
    else if (offset % kGranularity != 0)
        error = ERROR_MAPPED_ALIGNMENT;
    else if ((write && !section->writable) || offset >= section->size ||
             dwNumberOfBytesToMap > section->size - offset)
        error =
            ERROR_ACCESS_DENIED; // what Windows answers for a view outside the section or beyond its rights
    size_t length =
        dwNumberOfBytesToMap != 0 ? dwNumberOfBytesToMap : static_cast<size_t>(section->size - offset);
    void* base = MAP_FAILED;
    if (error == ERROR_SUCCESS) {
        base = mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, section->fd,
                    static_cast<off_t>(offset));
        if (base == MAP_FAILED)
            error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != ERROR_SUCCESS) {
        host::ObjectDereference(section);
        return Fail(error);
    }
    Views& views = AllViews();
    std::lock_guard<std::mutex> guard(views.lock);
    views.views[base] = View{section, length}; // the view keeps the section's reference
    return base;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress)
{
    View view;
    {
        Views& views = AllViews();
        std::lock_guard<std::mutex> guard(views.lock);
        auto it = views.views.find(lpBaseAddress);
        if (it == views.views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = it->second;
        views.views.erase(it);
    }
    munmap(const_cast<void*>(lpBaseAddress), view.length);
    host::ObjectDereference(view.section);
    return TRUE;
}

} // extern "C"
