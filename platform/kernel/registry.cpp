// The kernel's view of the registry (Zw* on key handles, the Rtl* registry helpers) and the host's
// handle-less control of it, all over the one hive.
#include <host/registry.h>
#include <host/verifier.h>

#include "hive.h"

using host::hive::Hive;
using host::hive::KeyRef;

namespace
{

constexpr ULONG PoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(text[0]) | static_cast<ULONG>(text[1]) << 8 |
           static_cast<ULONG>(text[2]) << 16 | static_cast<ULONG>(text[3]) << 24;
}
// Strings RtlQueryRegistryValues allocates for RTL_QUERY_REGISTRY_DIRECT; freed with RtlFreeUnicodeString.
constexpr ULONG kQueryStringTag = PoolTag("RtlQ");

// The text of a counted name. An odd count, or a count beyond the buffer, is refused with `invalid`.
NTSTATUS TextOf(PCUNICODE_STRING s, NTSTATUS invalid, std::u16string_view* text)
{
    *text = {};
    if (s == nullptr)
        return STATUS_SUCCESS;
    if ((s->Length & 1) != 0 || s->Length > s->MaximumLength || (s->Buffer == nullptr && s->Length != 0))
        return invalid;
    *text = std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ValueNameOf(PCUNICODE_STRING s, std::u16string_view* text)
{
    if (s == nullptr)
        return STATUS_INVALID_PARAMETER;
    return TextOf(s, STATUS_INVALID_PARAMETER, text);
}

// One information record: a fixed header, then a name (or class) and data at their offsets. Windows
// fills the header and as much of the name as fits when the whole record does not, and says how much
// it needs in every case.
struct Record {
    const void* header;
    ULONG headerSize;
    std::u16string_view name;
    ULONG nameOffset;
    const std::vector<UCHAR>* data;
    ULONG dataOffset;
    ULONG total;
};

NTSTATUS Emit(const Record& record, PVOID buffer, ULONG length, PULONG resultLength)
{
    if (resultLength == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "registry query without a ResultLength");
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = record.total;
    if (buffer == nullptr && length != 0)
        return STATUS_INVALID_PARAMETER;
    if (length < record.headerSize)
        return STATUS_BUFFER_TOO_SMALL;
    auto out = static_cast<UCHAR*>(buffer);
    memcpy(out, record.header, record.headerSize);
    if (!record.name.empty() && length > record.nameOffset)
        memcpy(out + record.nameOffset, record.name.data(),
               std::min<size_t>(record.name.size() * sizeof(WCHAR), length - record.nameOffset));
    if (length < record.total)
        return STATUS_BUFFER_OVERFLOW;
    if (record.data != nullptr && !record.data->empty())
        memcpy(out + record.dataOffset, record.data->data(), record.data->size());
    return STATUS_SUCCESS;
}

ULONG Bytes(std::u16string_view text)
{
    return static_cast<ULONG>(text.size() * sizeof(WCHAR));
}

NTSTATUS EmitValue(KEY_VALUE_INFORMATION_CLASS type, const host::hive::Value& value, PVOID buffer,
                   ULONG length, PULONG resultLength)
{
    auto dataSize = static_cast<ULONG>(value.data.size());
    switch (type) {
    case KeyValueBasicInformation: {
        constexpr ULONG header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        KEY_VALUE_BASIC_INFORMATION info{0, value.type, Bytes(value.name), {}};
        return Emit({&info, header, value.name, header, nullptr, 0, header + Bytes(value.name)}, buffer,
                    length, resultLength);
    }
    case KeyValueFullInformation: {
        constexpr ULONG header = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // Data follows the name at the next ULONG boundary.
        auto dataOffset = static_cast<ULONG>(ALIGN_UP_BY(header + Bytes(value.name), sizeof(ULONG)));
        KEY_VALUE_FULL_INFORMATION info{0, value.type, dataOffset, dataSize, Bytes(value.name), {}};
        return Emit({&info, header, value.name, header, &value.data, dataOffset, dataOffset + dataSize},
                    buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
        constexpr ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        KEY_VALUE_PARTIAL_INFORMATION info{0, value.type, dataSize, {}};
        return Emit({&info, header, {}, header, &value.data, header, header + dataSize}, buffer, length,
                    resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

// KeyNodeInformation is not emulated: no caller of the package asks for it.
NTSTATUS EmitKey(KEY_INFORMATION_CLASS type, const host::hive::KeyInfo& key, PVOID buffer, ULONG length,
                 PULONG resultLength)
{
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = key.lastWrite;
    switch (type) {
    case KeyBasicInformation: {
        constexpr ULONG header = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        KEY_BASIC_INFORMATION info{lastWrite, 0, Bytes(key.name), {}};
        return Emit({&info, header, key.name, header, nullptr, 0, header + Bytes(key.name)}, buffer, length,
                    resultLength);
    }
    case KeyFullInformation: {
        constexpr ULONG header = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        ULONG classOffset = key.className.empty() ? MAXULONG : header; // no class: no offset, as Windows says
        KEY_FULL_INFORMATION info{lastWrite,
                                  0,
                                  classOffset,
                                  Bytes(key.className),
                                  key.subkeys,
                                  key.maxNameLen,
                                  key.maxClassLen,
                                  key.values,
                                  key.maxValueNameLen,
                                  key.maxValueDataLen,
                                  {}};
        return Emit({&info, header, key.className, header, nullptr, 0, header + Bytes(key.className)}, buffer,
                    length, resultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS OpenOrCreate(PHANDLE keyHandle, ACCESS_MASK desired, POBJECT_ATTRIBUTES attributes,
                      PCUNICODE_STRING className, PULONG disposition, bool create)
{
    if (keyHandle == nullptr || attributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    std::u16string_view name;
    std::u16string_view classText;
    NTSTATUS status = TextOf(attributes->ObjectName, STATUS_OBJECT_NAME_INVALID, &name);
    if (NT_SUCCESS(status))
        status = TextOf(className, STATUS_INVALID_PARAMETER, &classText);
    if (!NT_SUCCESS(status))
        return status;
    KeyRef base;
    ACCESS_MASK baseAccess = 0;
    if (attributes->RootDirectory != nullptr) {
        status = host::hive::KeyFromHandle(attributes->RootDirectory, 0, &base, &baseAccess);
        if (!NT_SUCCESS(status))
            return status;
    }
    KeyRef key;
    bool created = false;
    if (create) {
        // Naming the parent by handle, the handle must carry the right to add subkeys.
        bool mayCreate = base == nullptr || (baseAccess & KEY_CREATE_SUB_KEY) != 0;
        status = Hive::Get().Create(base, name, classText, mayCreate, &key, &created);
    } else {
        status = Hive::Get().Open(base, name, &key);
    }
    if (!NT_SUCCESS(status))
        return status;
    *keyHandle = host::hive::KeyHandleCreate(key, host::hive::KeyMapAccess(desired));
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Rtl registry helpers.

struct RelativeRoot {
    ULONG relativeTo;
    std::u16string_view path;
};
// RTL_REGISTRY_WINDOWS_NT and RTL_REGISTRY_USER are not emulated: STATUS_INVALID_PARAMETER.
constexpr RelativeRoot kRelativeRoots[] = {
    {RTL_REGISTRY_SERVICES, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"},
    {RTL_REGISTRY_CONTROL, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"},
    {RTL_REGISTRY_DEVICEMAP, u"\\Registry\\Machine\\Hardware\\DeviceMap"},
};

// The key RelativeTo and Path name. With RTL_REGISTRY_HANDLE, Path is a key handle that must grant
// `desired`; keys named by path are opened with every right, as the kernel opens them for itself.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, ACCESS_MASK desired, bool create, KeyRef* key)
{
    ULONG root = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (root == RTL_REGISTRY_HANDLE)
        return host::hive::KeyFromHandle(const_cast<PWSTR>(path), desired, key);
    std::u16string_view tail = path != nullptr ? std::u16string_view(path) : std::u16string_view();
    std::u16string full;
    if (root == RTL_REGISTRY_ABSOLUTE) {
        full = tail;
    } else {
        const RelativeRoot* found = nullptr;
        for (const RelativeRoot& candidate : kRelativeRoots)
            if (candidate.relativeTo == root)
                found = &candidate;
        if (found == nullptr)
            return STATUS_INVALID_PARAMETER;
        full = found->path;
        if (!tail.empty() && tail.front() != u'\\')
            full += u'\\';
        full += tail;
    }
    return create ? Hive::Get().CreatePath(nullptr, full, key) : Hive::Get().Open(nullptr, full, key);
}

bool IsString(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// RTL_QUERY_REGISTRY_DIRECT: strings into a UNICODE_STRING (allocated when its Buffer is NULL), data of
// up to a ULONG in place, longer data into a buffer whose first LONG gives its size: negative, the
// data alone; positive, {length, type} then the data.
NTSTATUS StoreDirect(PVOID context, ULONG type, const UCHAR* data, ULONG size)
{
    if (context == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsString(type)) {
        auto* string = static_cast<PUNICODE_STRING>(context);
        size_t chars = size / sizeof(WCHAR);
        auto text = reinterpret_cast<const WCHAR*>(data);
        if (chars > 0 && text[chars - 1] == 0)
            chars--;
        size_t need = (chars + 1) * sizeof(WCHAR);
        if (need > MAXUSHORT)
            return STATUS_BUFFER_TOO_SMALL;
        if (string->Buffer == nullptr) {
            string->Buffer = static_cast<PWCH>(ExAllocatePool2(POOL_FLAG_PAGED, need, kQueryStringTag));
            if (string->Buffer == nullptr)
                return STATUS_INSUFFICIENT_RESOURCES;
            string->MaximumLength = static_cast<USHORT>(need);
        } else if (string->MaximumLength < need) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(string->Buffer, text, chars * sizeof(WCHAR));
        string->Buffer[chars] = 0;
        string->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    auto out = static_cast<UCHAR*>(context);
    if (size <= sizeof(ULONG)) {
        memcpy(out, data, size);
        return STATUS_SUCCESS;
    }
    LONG prefix;
    memcpy(&prefix, out, sizeof(prefix));
    if (prefix < 0) {
        if (size > -static_cast<LONGLONG>(prefix))
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(out, data, size);
        return STATUS_SUCCESS;
    }
    const ULONG header[2] = {size, type};
    if (sizeof(header) + static_cast<ULONGLONG>(size) > static_cast<ULONGLONG>(prefix))
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(out, header, sizeof(header));
    memcpy(out + sizeof(header), data, size);
    return STATUS_SUCCESS;
}

// The bytes of an entry's default. DefaultLength 0 means a terminated string (a doubly terminated
// one for REG_MULTI_SZ).
std::vector<UCHAR> DefaultBytes(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type)
{
    auto bytes = static_cast<const UCHAR*>(entry.DefaultData);
    if (bytes == nullptr)
        return {};
    size_t size = entry.DefaultLength;
    if (size == 0 && IsString(type)) {
        auto text = static_cast<const WCHAR*>(entry.DefaultData);
        size_t chars = std::u16string_view(text).size() + 1;
        if (type == REG_MULTI_SZ)
            while (text[chars] != 0)
                chars += std::u16string_view(text + chars).size() + 1;
        size = (type == REG_MULTI_SZ ? chars + 1 : chars) * sizeof(WCHAR);
    }
    return std::vector<UCHAR>(bytes, bytes + size);
}

// The walk of one RtlQueryRegistryValues table. Entries with RTL_QUERY_REGISTRY_SUBKEY switch to that
// subkey of the top key (a missing one has no values: defaults apply), RTL_QUERY_REGISTRY_TOPKEY
// switches back; either, with a QueryRoutine, passes every value of the key to it. REG_EXPAND_SZ is
// passed unexpanded (the host has no environment); REG_MULTI_SZ goes to a QueryRoutine one string at
// a time as REG_SZ unless RTL_QUERY_REGISTRY_NOEXPAND.
class TableQuery
{
  public:
    TableQuery(KeyRef top, PVOID context) : top_(top), current_(std::move(top)), context_(context) {}

    NTSTATUS Run(PRTL_QUERY_REGISTRY_TABLE table)
    {
        for (PRTL_QUERY_REGISTRY_TABLE entry = table;
             entry->QueryRoutine != nullptr || entry->Name != nullptr; entry++) {
            NTSTATUS status = RunEntry(*entry);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_SUCCESS;
    }

  private:
    static constexpr ULONG kTypeMask = (1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1;

    NTSTATUS RunEntry(const RTL_QUERY_REGISTRY_TABLE& entry)
    {
        bool direct = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (entry.Flags & RTL_QUERY_REGISTRY_TOPKEY)
            current_ = top_;
        if (entry.Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (entry.Name == nullptr)
                return STATUS_INVALID_PARAMETER;
            NTSTATUS status = Hive::Get().Open(top_, entry.Name, &current_);
            if (!NT_SUCCESS(status)) {
                current_ = nullptr;
                if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
                    return status;
            }
        }
        if (entry.Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY))
            return entry.QueryRoutine != nullptr ? AllValues(entry) : STATUS_SUCCESS;
        if (!direct && entry.QueryRoutine == nullptr)
            return STATUS_INVALID_PARAMETER;
        return entry.Name == nullptr ? AllValues(entry) : OneValue(entry);
    }

    NTSTATUS AllValues(const RTL_QUERY_REGISTRY_TABLE& entry)
    {
        if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
            return STATUS_INVALID_PARAMETER;
        if (current_ == nullptr)
            return STATUS_SUCCESS;
        ULONG index = 0;
        for (host::hive::Value value;; index++) {
            NTSTATUS status = Hive::Get().EnumerateValue(current_, index, &value);
            if (status == STATUS_NO_MORE_ENTRIES)
                break;
            if (NT_SUCCESS(status))
                status = Deliver(entry, value.name.data(), value.type, std::move(value.data));
            if (!NT_SUCCESS(status))
                return status;
        }
        if (index == 0 && (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE))
            return entry.QueryRoutine(entry.Name, REG_NONE, nullptr, 0, context_, entry.EntryContext);
        return STATUS_SUCCESS;
    }

    NTSTATUS OneValue(const RTL_QUERY_REGISTRY_TABLE& entry)
    {
        host::hive::Value value;
        NTSTATUS status = current_ != nullptr ? Hive::Get().QueryValue(current_, entry.Name, &value)
                                              : STATUS_OBJECT_NAME_NOT_FOUND;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            ULONG defaultType = entry.DefaultType & kTypeMask;
            if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) || defaultType == REG_NONE)
                return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? status : STATUS_SUCCESS;
            return Deliver(entry, entry.Name, defaultType, DefaultBytes(entry, defaultType));
        }
        if (!NT_SUCCESS(status))
            return status;
        if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
            value.type != entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
            return STATUS_OBJECT_TYPE_MISMATCH;
        status = Deliver(entry, entry.Name, value.type, std::move(value.data));
        if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE))
            status = Hive::Get().DeleteValue(current_, entry.Name);
        return status;
    }

    NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, std::vector<UCHAR> data)
    {
        auto size = static_cast<ULONG>(data.size());
        data.resize(size + sizeof(WCHAR)); // text stored without a terminator still ends inside the buffer
        if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
            return StoreDirect(entry.EntryContext, type, data.data(), size);
        if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
            std::u16string_view all(reinterpret_cast<const WCHAR*>(data.data()), size / sizeof(WCHAR));
            for (size_t start = 0; start < all.size() && all[start] != 0;) {
                size_t end = std::min(all.find(u'\0', start), all.size());
                auto text = const_cast<WCHAR*>(all.data() + start);
                NTSTATUS status =
                    entry.QueryRoutine(name, REG_SZ, text, static_cast<ULONG>((end - start + 1) * 2),
                                       context_, entry.EntryContext);
                if (!NT_SUCCESS(status))
                    return status;
                start = end + 1;
            }
            return STATUS_SUCCESS;
        }
        return entry.QueryRoutine(name, type, data.data(), size, context_, entry.EntryContext);
    }

    KeyRef top_;
    KeyRef current_;
    PVOID context_;
};

// Host control: every path is absolute.
NTSTATUS OpenPath(std::u16string_view path, KeyRef* key)
{
    return Hive::Get().Open(nullptr, path, key);
}

} // namespace

extern "C" {

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(CreateOptions); // volatile keys live as long as every key here: the process
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, Class, Disposition, true);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, nullptr, nullptr, false);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    KeyRef key;
    std::u16string_view name;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (NT_SUCCESS(status))
        status = ValueNameOf(ValueName, &name);
    host::hive::Value value;
    if (NT_SUCCESS(status))
        status = Hive::Get().QueryValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    return EmitValue(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    KeyRef key;
    std::u16string_view name;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (NT_SUCCESS(status))
        status = ValueNameOf(ValueName, &name);
    if (NT_SUCCESS(status) && Data == nullptr && DataSize != 0)
        status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().SetValue(key, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    KeyRef key;
    std::u16string_view name;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (NT_SUCCESS(status))
        status = ValueNameOf(ValueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().DeleteValue(key, name);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    KeyRef key;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().DeleteKey(key);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    KeyRef key;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    host::hive::KeyInfo info;
    if (NT_SUCCESS(status))
        status = Hive::Get().EnumerateKey(key, Index, &info);
    if (!NT_SUCCESS(status))
        return status;
    return EmitKey(KeyInformationClass, info, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength)
{
    KeyRef key;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    host::hive::Value value;
    if (NT_SUCCESS(status))
        status = Hive::Get().EnumerateValue(key, Index, &value);
    if (!NT_SUCCESS(status))
        return status;
    return EmitValue(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength)
{
    KeyRef key;
    NTSTATUS status = host::hive::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    host::hive::KeyInfo info;
    if (NT_SUCCESS(status))
        status = Hive::Get().QueryKey(key, &info);
    if (!NT_SUCCESS(status))
        return status;
    return EmitKey(KeyInformationClass, info, KeyInformation, Length, ResultLength);
}

// RTL_REGISTRY_OPTIONAL: a missing key is no error; the table is then not walked.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    UNREFERENCED_PARAMETER(Environment);
    if (QueryTable == nullptr)
        return STATUS_INVALID_PARAMETER;
    bool deletes = false;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; entry++)
        deletes |= (entry->Flags & RTL_QUERY_REGISTRY_DELETE) != 0;
    KeyRef top;
    NTSTATUS status =
        OpenRelative(RelativeTo, Path, KEY_QUERY_VALUE | (deletes ? KEY_SET_VALUE : 0), false, &top);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL))
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    return TableQuery(std::move(top), Context).Run(QueryTable);
}

NTSTATUS RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                  PVOID Context, PVOID Environment)
{
    return RtlQueryRegistryValues(RelativeTo, Path, QueryTable, Context, Environment);
}

// The key must exist; the value is created or replaced.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    if (ValueName == nullptr || (ValueData == nullptr && ValueLength != 0))
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, KEY_SET_VALUE, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().SetValue(key, ValueName, ValueType, ValueData, ValueLength);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    KeyRef key;
    return OpenRelative(RelativeTo, Path, 0, false, &key);
}

// Creates every missing key along the path.
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    KeyRef key;
    return OpenRelative(RelativeTo, Path, 0, true, &key);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    if (ValueName == nullptr)
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, KEY_SET_VALUE, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().DeleteValue(key, ValueName);
}

} // extern "C"

namespace host
{

NTSTATUS RegistrySetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                          const void* data, size_t size)
{
    KeyRef key;
    NTSTATUS status = Hive::Get().CreatePath(nullptr, keyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().SetValue(key, valueName, type, data, size);
}

NTSTATUS RegistrySetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value)
{
    return RegistrySetValue(keyPath, valueName, REG_DWORD, &value, sizeof(value));
}

NTSTATUS RegistrySetQword(std::u16string_view keyPath, std::u16string_view valueName, ULONGLONG value)
{
    return RegistrySetValue(keyPath, valueName, REG_QWORD, &value, sizeof(value));
}

NTSTATUS RegistrySetString(std::u16string_view keyPath, std::u16string_view valueName,
                           std::u16string_view value, ULONG type)
{
    std::u16string text(value);
    return RegistrySetValue(keyPath, valueName, type, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

NTSTATUS RegistrySetMultiString(std::u16string_view keyPath, std::u16string_view valueName,
                                const std::vector<std::u16string>& strings)
{
    std::u16string text;
    for (const std::u16string& string : strings) {
        text += string;
        text += u'\0';
    }
    return RegistrySetValue(keyPath, valueName, REG_MULTI_SZ, text.c_str(),
                            (text.size() + 1) * sizeof(WCHAR));
}

NTSTATUS RegistryCreateKey(std::u16string_view keyPath)
{
    KeyRef key;
    return Hive::Get().CreatePath(nullptr, keyPath, &key);
}

std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view valueName)
{
    KeyRef key;
    hive::Value value;
    if (!NT_SUCCESS(OpenPath(keyPath, &key)) || !NT_SUCCESS(Hive::Get().QueryValue(key, valueName, &value)))
        return std::nullopt;
    return RegistryValue{value.type, std::move(value.data)};
}

bool RegistryKeyExists(std::u16string_view keyPath)
{
    KeyRef key;
    return NT_SUCCESS(OpenPath(keyPath, &key));
}

std::vector<std::u16string> RegistrySubkeys(std::u16string_view keyPath)
{
    std::vector<std::u16string> names;
    KeyRef key;
    hive::KeyInfo info;
    if (NT_SUCCESS(OpenPath(keyPath, &key)))
        for (ULONG i = 0; NT_SUCCESS(Hive::Get().EnumerateKey(key, i, &info)); i++)
            names.push_back(info.name);
    return names;
}

std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath)
{
    std::vector<std::u16string> names;
    KeyRef key;
    hive::Value value;
    if (NT_SUCCESS(OpenPath(keyPath, &key)))
        for (ULONG i = 0; NT_SUCCESS(Hive::Get().EnumerateValue(key, i, &value)); i++)
            names.push_back(value.name);
    return names;
}

NTSTATUS RegistryDeleteTree(std::u16string_view keyPath)
{
    KeyRef key;
    NTSTATUS status = OpenPath(keyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Hive::Get().DeleteTree(key);
}

void RegistryClear()
{
    Hive::Get().Clear();
}

int RegistryAddObserver(RegistryObserver observer)
{
    return Hive::Get().AddObserver(std::move(observer));
}

void RegistryRemoveObserver(int cookie)
{
    Hive::Get().RemoveObserver(cookie);
}

} // namespace host
