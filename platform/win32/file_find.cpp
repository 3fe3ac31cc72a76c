// FindFirstFile and friends: a search takes a snapshot of the matching entries of one directory, in the
// order NTFS lists them (by upper-cased name, "." and ".." first), and hands them out one by one.
#include "file_system.h"

#include <host/object.h>
#include <wdm.h>

#include <algorithm>

namespace host::files
{
namespace
{

struct Found {
    std::u16string name;
    EntryInfo info;
};

class FindObject : public Object
{
  public:
    FindObject() : Object(ObjectKind::Other) {}

    std::vector<Found> entries;
    size_t next = 0;
};

std::u16string Upcased(std::u16string_view text)
{
    std::u16string upper(text);
    for (char16_t& c : upper)
        c = RtlUpcaseUnicodeChar(c);
    return upper;
}

// * matches any run and ? one character, case-insensitively; "*.*" matches every name.
bool Matches(std::u16string_view pattern, std::u16string_view name)
{
    if (pattern == u"*.*")
        pattern = u"*";
    std::u16string p = Upcased(pattern);
    std::u16string n = Upcased(name);
    size_t pi = 0;
    size_t ni = 0;
    size_t star = std::u16string::npos;
    size_t resume = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == u'?' || p[pi] == n[ni])) {
            pi++;
            ni++;
        } else if (pi < p.size() && p[pi] == u'*') {
            star = pi++;
            resume = ni;
        } else if (star != std::u16string::npos) {
            pi = star + 1;
            ni = ++resume;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*')
        pi++;
    return pi == p.size();
}

ULONG Search(std::u16string_view path, std::vector<Found>* found)
{
    ParsedPath parsed;
    ULONG error = ParsePath(path, true, &parsed);
    if (error != ERROR_SUCCESS)
        return error;
    if (parsed.device || parsed.components.empty() || parsed.trailingSeparator)
        return ERROR_FILE_NOT_FOUND;
    std::u16string pattern = parsed.components.back();
    parsed.components.pop_back();
    FilesResolved directory;
    error = Locate(parsed, &directory);
    if (error != ERROR_SUCCESS)
        return error;
    EntryInfo directoryInfo;
    if (!directory.exists || !ReadEntry(directory.disk, &directoryInfo) || !directoryInfo.directory)
        return ERROR_PATH_NOT_FOUND;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory.disk, ec)) {
        Found item;
        if (VisibleName(entry.path(), &item.name) && Matches(pattern, item.name) &&
            ReadEntry(entry.path(), &item.info))
            found->push_back(std::move(item));
    }
    std::sort(found->begin(), found->end(),
              [](const Found& a, const Found& b) { return Upcased(a.name) < Upcased(b.name); });
    if (!parsed.components.empty()) {
        EntryInfo parentInfo = directoryInfo;
        ReadEntry(directory.disk.parent_path(), &parentInfo);
        std::vector<Found> dots;
        if (Matches(pattern, u"."))
            dots.push_back(Found{u".", directoryInfo});
        if (Matches(pattern, u".."))
            dots.push_back(Found{u"..", parentInfo});
        found->insert(found->begin(), dots.begin(), dots.end());
    }
    return found->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

template <typename Char> void CopyName(std::basic_string_view<Char> name, Char (&out)[MAX_PATH])
{
    size_t n = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
    std::copy_n(name.begin(), n, out);
    out[n] = 0;
}

template <typename Data> void Fill(const Found& found, Data* data)
{
    memset(data, 0, sizeof(*data));
    data->dwFileAttributes = found.info.Attributes();
    data->ftCreationTime = ToFileTime(found.info.metadata.creation);
    data->ftLastAccessTime = ToFileTime(found.info.metadata.access);
    data->ftLastWriteTime = ToFileTime(found.info.metadata.write);
    data->nFileSizeHigh = static_cast<DWORD>(found.info.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(found.info.size);
}

void Fill(const Found& found, WIN32_FIND_DATAW* data)
{
    Fill<WIN32_FIND_DATAW>(found, data);
    CopyName<char16_t>(found.name, data->cFileName);
}

void Fill(const Found& found, WIN32_FIND_DATAA* data)
{
    Fill<WIN32_FIND_DATAA>(found, data);
    CopyName<char>(Utf16ToAnsi(found.name), data->cFileName);
}

template <typename Data> HANDLE FindFirst(ULONG error, std::u16string_view path, Data* data)
{
    std::vector<Found> found;
    if (error == ERROR_SUCCESS)
        error = data == nullptr ? ERROR_INVALID_PARAMETER : Search(path, &found);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto* search = new FindObject;
    search->entries = std::move(found);
    Fill(search->entries[0], data);
    search->next = 1;
    HANDLE handle = HandleCreate(search, 0);
    ObjectDereference(search);
    return handle;
}

// The search behind a find handle, referenced; null for anything else.
FindObject* ReferenceSearch(HANDLE handle)
{
    Object* object = nullptr;
    if (!NT_SUCCESS(HandleReference(handle, ObjectKind::Other, 0, &object, nullptr)))
        return nullptr;
    auto* search = dynamic_cast<FindObject*>(object);
    if (search == nullptr)
        ObjectDereference(object);
    return search;
}

template <typename Data> BOOL FindNext(HANDLE handle, Data* data)
{
    FindObject* search = ReferenceSearch(handle);
    ULONG error = search == nullptr                        ? ERROR_INVALID_HANDLE
                  : data == nullptr                        ? ERROR_INVALID_PARAMETER
                  : search->next >= search->entries.size() ? ERROR_NO_MORE_FILES
                                                           : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS)
        Fill(search->entries[search->next++], data);
    if (search != nullptr)
        ObjectDereference(search);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

} // namespace
} // namespace host::files

extern "C" {

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    return host::files::FindFirst(lpFileName == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS,
                                  lpFileName == nullptr ? u"" : lpFileName, lpFindFileData);
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    std::u16string wide;
    ULONG error = host::files::AnsiPath(lpFileName, &wide);
    return host::files::FindFirst(error, wide, lpFindFileData);
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    return host::files::FindNext(hFindFile, lpFindFileData);
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    return host::files::FindNext(hFindFile, lpFindFileData);
}

BOOL FindClose(HANDLE hFindFile)
{
    host::files::FindObject* search = host::files::ReferenceSearch(hFindFile);
    if (search == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    host::ObjectDereference(search);
    return CloseHandle(hFindFile);
}

} // extern "C"
