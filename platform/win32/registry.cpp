// The Win32 view of the registry over the one hive. The W and A forms share one implementation, templated
// on the text's character type: A names are UTF-8 (the host's ANSI code page), and string data (REG_SZ,
// REG_EXPAND_SZ, REG_MULTI_SZ) is stored as UTF-16 whichever form wrote it, as Windows stores it.
#include <winreg.h>

#include <handleapi.h>
#include <processenv.h>
#include <synchapi.h>

#include <host/registry.h>
#include <host/sync.h>
#include <host/utf.h>

#include "kernel/hive.h"
#include "win32_internal.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using host::hive::Hive;
using host::hive::KeyRef;
using host::win32::ErrorFromStatus;

namespace {

using host::win32::Native;
using host::win32::Wide;

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string_view AsText(const std::vector<UCHAR>& data)
{
    return std::u16string_view(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
}

std::vector<UCHAR> Bytes(std::u16string_view text)
{
    auto bytes = reinterpret_cast<const UCHAR*>(text.data());
    return std::vector<UCHAR>(bytes, bytes + text.size() * sizeof(char16_t));
}

// Stored string data as the caller's form sees it.
template <class C>
std::vector<UCHAR> DataFor(DWORD type, std::vector<UCHAR> data)
{
    if (!std::is_same_v<C, char> || !IsString(type))
        return data;
    std::string narrow = host::utf::ToUtf8(AsText(data));
    return std::vector<UCHAR>(narrow.begin(), narrow.end());
}

// The caller's data as it is stored.
template <class C>
std::vector<UCHAR> DataFrom(DWORD type, const BYTE* data, DWORD size)
{
    if (!std::is_same_v<C, char> || !IsString(type))
        return std::vector<UCHAR>(data, data + size);
    return Bytes(host::utf::ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
}

// Copies a name with its terminator into a buffer of *count characters; *count becomes the length.
template <class C>
LSTATUS CopyName(std::u16string_view name, C* buffer, LPDWORD count)
{
    if (buffer == nullptr || count == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::basic_string<C> text = Native<C>(name);
    if (*count <= text.size())
        return ERROR_MORE_DATA;
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(C));
    *count = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

// Copies value data: a null buffer asks for the size; a small one gets ERROR_MORE_DATA and the size.
LSTATUS CopyData(const std::vector<UCHAR>& data, LPBYTE buffer, LPDWORD size)
{
    if (buffer != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (size == nullptr)
        return ERROR_SUCCESS;
    DWORD room = *size;
    *size = static_cast<DWORD>(data.size());
    if (buffer == nullptr)
        return ERROR_SUCCESS;
    if (room < data.size())
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Keys.

constexpr ACCESS_MASK kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY; // one view: the 64-bit one

// HKEY_CLASSES_ROOT and HKEY_CURRENT_USER are not emulated (nothing reads them): ERROR_INVALID_HANDLE.
const char16_t* PredefinedPath(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return u"\\Registry\\Machine";
    if (key == HKEY_USERS)
        return u"\\Registry\\User";
    return nullptr;
}

bool IsPredefined(HKEY key)
{
    auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) && value <= reinterpret_cast<ULONG_PTR>(HKEY_USERS);
}

LSTATUS KeyOf(HKEY handle, ACCESS_MASK desired, KeyRef* key, ACCESS_MASK* granted = nullptr)
{
    if (IsPredefined(handle)) {
        const char16_t* path = PredefinedPath(handle);
        if (path == nullptr)
            return ERROR_INVALID_HANDLE;
        if (granted != nullptr)
            *granted = KEY_ALL_ACCESS;
        return ErrorFromStatus(Hive::Get().Open(nullptr, path, key));
    }
    return ErrorFromStatus(host::hive::KeyFromHandle(reinterpret_cast<HANDLE>(handle), desired, key, granted));
}

LSTATUS OpenKey(HKEY base, std::u16string_view path, ACCESS_MASK baseDesired, KeyRef* key)
{
    KeyRef parent;
    LSTATUS error = KeyOf(base, baseDesired, &parent);
    if (error != ERROR_SUCCESS)
        return error;
    return ErrorFromStatus(Hive::Get().Open(parent, path, key));
}

// Creates the missing keys along the path. Creating needs KEY_CREATE_SUB_KEY on the base handle.
LSTATUS CreateKey(HKEY base, std::u16string_view path, std::u16string_view className, KeyRef* key, bool* created)
{
    KeyRef parent;
    ACCESS_MASK granted = 0;
    LSTATUS error = KeyOf(base, 0, &parent, &granted);
    if (error != ERROR_SUCCESS)
        return error;
    bool mayCreate = (granted & KEY_CREATE_SUB_KEY) != 0;
    NTSTATUS status = Hive::Get().Create(parent, path, className, mayCreate, key, created);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && mayCreate) {
        std::u16string_view trimmed = path.ends_with(u'\\') ? path.substr(0, path.size() - 1) : path;
        size_t slash = trimmed.rfind(u'\\');
        KeyRef above;
        if (slash != std::u16string_view::npos &&
            NT_SUCCESS(status = Hive::Get().CreatePath(parent, trimmed.substr(0, slash), &above)))
            status = Hive::Get().Create(parent, path, className, true, key, created);
    }
    return ErrorFromStatus(status);
}

HKEY NewHandle(const KeyRef& key, REGSAM desired)
{
    return reinterpret_cast<HKEY>(host::hive::KeyHandleCreate(key, host::hive::KeyMapAccess(desired & ~kViewFlags)));
}

// ---------------------------------------------------------------------------------------------
// Change notifications: one-shot registry observers that set an event.

struct Watch {
    std::u16string path;
    bool subtree = false;
    DWORD filter = 0;
    PKEVENT event = nullptr; // referenced until it fires
    HKEY key = nullptr;
    std::atomic<int> cookie{0}; // set once its observer is added
    std::atomic<bool> fired{false};
};

struct Watches {
    std::mutex lock;
    std::multimap<HKEY, std::shared_ptr<Watch>> byKey;
};

Watches& AllWatches()
{
    static Watches* watches = new Watches;
    return *watches;
}

void Fire(const std::shared_ptr<Watch>& watch)
{
    if (watch->fired.exchange(true))
        return;
    {
        Watches& watches = AllWatches();
        std::lock_guard<std::mutex> guard(watches.lock);
        auto [first, last] = watches.byKey.equal_range(watch->key);
        for (auto it = first; it != last; ++it)
            if (it->second == watch) {
                watches.byKey.erase(it);
                break;
            }
    }
    if (int cookie = watch->cookie.load(); cookie != 0)
        host::RegistryRemoveObserver(cookie);
    KeSetEvent(watch->event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(watch->event);
}

bool Selects(const Watch& watch, std::u16string_view path, host::RegistryChange change)
{
    std::u16string_view key = watch.path;
    bool same = host::hive::NamesEqual(path, key);
    bool below = path.size() > key.size() && path[key.size()] == u'\\' &&
                 host::hive::NamesEqual(path.substr(0, key.size()), key);
    bool child = below && path.find(u'\\', key.size() + 1) == std::u16string_view::npos;
    switch (change) {
    case host::RegistryChange::KeyDeleted:
        if (same)
            return true; // the watched key itself went away
        [[fallthrough]];
    case host::RegistryChange::KeyCreated:
        return (watch.filter & REG_NOTIFY_CHANGE_NAME) != 0 && (watch.subtree ? below : child);
    case host::RegistryChange::ValueSet:
    case host::RegistryChange::ValueDeleted:
        return (watch.filter & REG_NOTIFY_CHANGE_LAST_SET) != 0 && (same || (watch.subtree && below));
    }
    return false;
}

LSTATUS Arm(HKEY handle, bool subtree, DWORD filter, HANDLE event)
{
    constexpr DWORD kFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                               REG_NOTIFY_CHANGE_SECURITY;
    if ((filter & kFilters) == 0 || (filter & ~(kFilters | REG_NOTIFY_THREAD_AGNOSTIC)) != 0)
        return ERROR_INVALID_PARAMETER;
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_NOTIFY, &key);
    auto watch = std::make_shared<Watch>();
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(Hive::Get().KeyPath(key, &watch->path));
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(host::EventObjectFromHandle(event, &watch->event));
    if (error != ERROR_SUCCESS)
        return error;
    watch->subtree = subtree;
    watch->filter = filter;
    watch->key = handle;
    {
        Watches& watches = AllWatches();
        std::lock_guard<std::mutex> guard(watches.lock);
        watches.byKey.emplace(handle, watch);
    }
    // Attributes and security are not emulated: those filters never fire by themselves.
    int cookie = host::RegistryAddObserver(
        [watch](std::u16string_view path, host::RegistryChange change, std::u16string_view) {
            if (!watch->fired.load() && Selects(*watch, path, change))
                Fire(watch);
        });
    watch->cookie = cookie;
    if (watch->fired.load()) // fired before its cookie was known
        host::RegistryRemoveObserver(cookie);
    return ERROR_SUCCESS;
}

// Closing a key completes its pending notifications: their events are set.
void FireAllOf(HKEY handle)
{
    std::vector<std::shared_ptr<Watch>> pending;
    {
        Watches& watches = AllWatches();
        std::lock_guard<std::mutex> guard(watches.lock);
        auto [first, last] = watches.byKey.equal_range(handle);
        for (auto it = first; it != last; ++it)
            pending.push_back(it->second);
    }
    for (const auto& watch : pending)
        Fire(watch);
}

// ---------------------------------------------------------------------------------------------
// The entry points, for both forms.

template <class C>
LSTATUS Open(HKEY base, const C* subKey, REGSAM desired, PHKEY result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef key;
    LSTATUS error = OpenKey(base, Wide(subKey), 0, &key);
    if (error == ERROR_SUCCESS)
        *result = NewHandle(key, desired);
    return error;
}

template <class C>
LSTATUS Create(HKEY base, const C* subKey, const C* className, REGSAM desired, PHKEY result, LPDWORD disposition)
{
    if (result == nullptr || subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef key;
    bool created = false;
    LSTATUS error = CreateKey(base, Wide(subKey), Wide(className), &key, &created);
    if (error != ERROR_SUCCESS)
        return error;
    *result = NewHandle(key, desired);
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

template <class C>
LSTATUS Query(HKEY handle, const C* name, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_QUERY_VALUE, &key);
    host::hive::Value value;
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(Hive::Get().QueryValue(key, Wide(name), &value));
    if (error != ERROR_SUCCESS)
        return error;
    if (type != nullptr)
        *type = value.type;
    return CopyData(DataFor<C>(value.type, std::move(value.data)), data, size);
}

// The RRF_RT_* bit of a stored type; 0 for types no restriction names.
DWORD RestrictionBit(DWORD type)
{
    switch (type) {
    case REG_NONE:
        return RRF_RT_REG_NONE;
    case REG_SZ:
        return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
        return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
        return RRF_RT_REG_BINARY;
    case REG_DWORD:
        return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
        return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
        return RRF_RT_REG_QWORD;
    default:
        return 0;
    }
}

// Strings come back terminated even when stored without (a multi-string with its final empty string).
std::vector<UCHAR> Terminated(DWORD type, std::vector<UCHAR> data)
{
    if (!IsString(type))
        return data;
    std::u16string text(AsText(data));
    size_t zeros = type == REG_MULTI_SZ ? 2 : 1;
    size_t have = 0;
    while (have < zeros && have < text.size() && text[text.size() - 1 - have] == 0)
        have++;
    text.append(zeros - have, u'\0');
    return Bytes(text);
}

std::u16string Expanded(std::u16string_view text)
{
    std::u16string source(text);
    DWORD size = ExpandEnvironmentStringsW(source.c_str(), nullptr, 0);
    std::u16string out(size, u'\0');
    ExpandEnvironmentStringsW(source.c_str(), out.data(), size);
    out.resize(size > 0 ? size - 1 : 0);
    return out;
}

template <class C>
LSTATUS Get(HKEY handle, const C* subKey, const C* name, DWORD flags, LPDWORD type, PVOID data, LPDWORD size)
{
    DWORD restriction = flags & RRF_RT_ANY;
    bool expand = (flags & RRF_NOEXPAND) == 0;
    // Expansion turns REG_EXPAND_SZ into REG_SZ, so asking only for REG_EXPAND_SZ needs RRF_NOEXPAND.
    if (restriction == 0 || (data != nullptr && size == nullptr) || (restriction == RRF_RT_REG_EXPAND_SZ && expand))
        return ERROR_INVALID_PARAMETER;
    DWORD room = size != nullptr ? *size : 0;
    KeyRef key;
    LSTATUS error = subKey != nullptr && subKey[0] != 0 ? OpenKey(handle, Wide(subKey), 0, &key)
                                                        : KeyOf(handle, KEY_QUERY_VALUE, &key);
    host::hive::Value value;
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(Hive::Get().QueryValue(key, Wide(name), &value));
    if (error == ERROR_SUCCESS) {
        if (value.type == REG_EXPAND_SZ && expand) {
            value.data = Bytes(Expanded(AsText(value.data)));
            value.type = REG_SZ;
        }
        if ((RestrictionBit(value.type) & restriction) == 0) {
            error = ERROR_UNSUPPORTED_TYPE;
        } else {
            if (type != nullptr)
                *type = value.type;
            error = CopyData(DataFor<C>(value.type, Terminated(value.type, std::move(value.data))),
                             static_cast<LPBYTE>(data), size);
        }
    }
    if (error != ERROR_SUCCESS && (flags & RRF_ZEROONFAILURE) && data != nullptr)
        std::memset(data, 0, room);
    return error;
}

template <class C>
LSTATUS SetOn(const KeyRef& key, const C* name, DWORD type, const BYTE* data, DWORD size)
{
    if (data == nullptr && size != 0)
        return ERROR_NOACCESS;
    std::vector<UCHAR> stored = DataFrom<C>(type, data, size);
    return ErrorFromStatus(Hive::Get().SetValue(key, Wide(name), type, stored.data(), stored.size()));
}

template <class C>
LSTATUS Set(HKEY handle, const C* name, DWORD type, const BYTE* data, DWORD size)
{
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_SET_VALUE, &key);
    return error != ERROR_SUCCESS ? error : SetOn(key, name, type, data, size);
}

template <class C>
LSTATUS SetKeyValue(HKEY handle, const C* subKey, const C* name, DWORD type, LPCVOID data, DWORD size)
{
    if (subKey == nullptr || subKey[0] == 0)
        return Set(handle, name, type, static_cast<const BYTE*>(data), size);
    KeyRef key;
    bool created = false;
    LSTATUS error = CreateKey(handle, Wide(subKey), {}, &key, &created);
    return error != ERROR_SUCCESS ? error : SetOn(key, name, type, static_cast<const BYTE*>(data), size);
}

template <class C>
LSTATUS DeleteValue(HKEY handle, const C* name)
{
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_SET_VALUE, &key);
    return error != ERROR_SUCCESS ? error : ErrorFromStatus(Hive::Get().DeleteValue(key, Wide(name)));
}

template <class C>
LSTATUS DeleteKey(HKEY handle, const C* subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    KeyRef key;
    LSTATUS error = OpenKey(handle, Wide(subKey), 0, &key);
    return error != ERROR_SUCCESS ? error : ErrorFromStatus(Hive::Get().DeleteKey(key));
}

template <class C>
LSTATUS EnumKey(HKEY handle, DWORD index, C* name, LPDWORD nameCount, C* className, LPDWORD classCount,
                PFILETIME lastWrite)
{
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_ENUMERATE_SUB_KEYS, &key);
    host::hive::KeyInfo info;
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(Hive::Get().EnumerateKey(key, index, &info));
    if (error == ERROR_SUCCESS)
        error = CopyName(info.name, name, nameCount);
    if (error == ERROR_SUCCESS && className != nullptr)
        error = CopyName(info.className, className, classCount);
    if (error == ERROR_SUCCESS && lastWrite != nullptr) {
        lastWrite->dwLowDateTime = static_cast<DWORD>(info.lastWrite);
        lastWrite->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(info.lastWrite) >> 32);
    }
    return error;
}

template <class C>
LSTATUS EnumValue(HKEY handle, DWORD index, C* name, LPDWORD nameCount, LPDWORD type, LPBYTE data, LPDWORD size)
{
    KeyRef key;
    LSTATUS error = KeyOf(handle, KEY_QUERY_VALUE, &key);
    host::hive::Value value;
    if (error == ERROR_SUCCESS)
        error = ErrorFromStatus(Hive::Get().EnumerateValue(key, index, &value));
    if (error == ERROR_SUCCESS)
        error = CopyName(value.name, name, nameCount);
    if (error != ERROR_SUCCESS)
        return error;
    if (type != nullptr)
        *type = value.type;
    return CopyData(DataFor<C>(value.type, std::move(value.data)), data, size);
}

} // namespace

extern "C" {

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    UNREFERENCED_PARAMETER(ulOptions);
    return Open(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    UNREFERENCED_PARAMETER(ulOptions);
    return Open(hKey, lpSubKey, samDesired, phkResult);
}

// Volatile keys live as long as every key here: the process.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    return Create<char16_t>(hKey, lpSubKey, lpClass, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    return Create<char>(hKey, lpSubKey, lpClass, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    KeyRef key;
    LSTATUS error = KeyOf(hKey, 0, &key);
    if (error != ERROR_SUCCESS)
        return error;
    if (!NT_SUCCESS(host::HandleClose(reinterpret_cast<HANDLE>(hKey))))
        return ERROR_INVALID_HANDLE;
    FireAllOf(hKey);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return Query(hKey, lpValueName, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return Query(hKey, lpValueName, lpType, lpData, lpcbData);
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData)
{
    return Get(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData);
}

LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData)
{
    return Get(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    UNREFERENCED_PARAMETER(Reserved);
    return Set(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    UNREFERENCED_PARAMETER(Reserved);
    return Set(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData, DWORD cbData)
{
    return SetKeyValue(hKey, lpSubKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS RegSetKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType, LPCVOID lpData, DWORD cbData)
{
    return SetKeyValue(hKey, lpSubKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValue(hKey, lpValueName); }

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValue(hKey, lpValueName); }

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteKey(hKey, lpSubKey); }

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKey(hKey, lpSubKey); }

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved)
{
    UNREFERENCED_PARAMETER(samDesired);
    UNREFERENCED_PARAMETER(Reserved);
    return DeleteKey(hKey, lpSubKey);
}

LSTATUS RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved)
{
    UNREFERENCED_PARAMETER(samDesired);
    UNREFERENCED_PARAMETER(Reserved);
    return DeleteKey(hKey, lpSubKey);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    UNREFERENCED_PARAMETER(lpReserved);
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent, BOOL fAsynchronous)
{
    if (fAsynchronous) {
        if (hEvent == nullptr)
            return ERROR_INVALID_PARAMETER;
        return Arm(hKey, bWatchSubtree, dwNotifyFilter, hEvent);
    }
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr)
        return GetLastError();
    LSTATUS error = Arm(hKey, bWatchSubtree, dwNotifyFilter, done);
    if (error == ERROR_SUCCESS)
        WaitForSingleObject(done, INFINITE);
    CloseHandle(done);
    return error;
}

} // extern "C"
