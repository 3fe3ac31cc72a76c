// Registry names from outside (INF-style paths, names read from devices and files): every entry point
// taking one answers with a status, agrees with the path parser, and a key it creates can be reopened,
// written, read back and deleted. First byte: bit 0 names the key relative to a Services handle, bit 1
// also runs an RtlQueryRegistryValues walk on it; the rest is the name as UTF-16LE (an odd count stays odd).
#include <host/host.h>
#include <host/registry.h>
#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Longer inputs would only exceed the limit of value names, which RoundTrip reuses.
constexpr size_t kMaxValueNameChars = 16383;
constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

NTSTATUS OpenOrCreate(bool create, HANDLE root, PUNICODE_STRING name, HANDLE* key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_KERNEL_HANDLE, root, nullptr);
    ULONG disposition = 0;
    return create ? ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition)
                  : ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

void RoundTrip(HANDLE root, PUNICODE_STRING name)
{
    HANDLE key = nullptr;
    NTSTATUS created = OpenOrCreate(true, root, name, &key);
    if (!NT_SUCCESS(created))
        return;
    HANDLE again = nullptr;
    Check(OpenOrCreate(false, root, name, &again) == STATUS_SUCCESS);
    ULONG value = 0x5A5A;
    UNICODE_STRING valueName = *name; // any name is a valid value name
    Check(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value)) == STATUS_SUCCESS);
    UCHAR buffer[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
    ULONG result = 0;
    Check(ZwQueryValueKey(again, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &result) ==
          STATUS_SUCCESS);
    Check(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->DataLength == sizeof(ULONG));
    NTSTATUS deleted = ZwDeleteKey(key);
    Check(deleted == STATUS_SUCCESS || deleted == STATUS_CANNOT_DELETE);
    if (deleted == STATUS_SUCCESS)
        Check(ZwQueryValueKey(again, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer),
                              &result) == STATUS_KEY_DELETED);
    ZwClose(again);
    ZwClose(key);
}

void QueryTable(const std::u16string& text)
{
    ULONG direct = 0;
    const ULONG fallback = 1;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"V"), &direct, REG_DWORD,
         const_cast<ULONG*>(&fallback), sizeof(fallback)},
        {},
    };
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, text.c_str(), table, nullptr, nullptr);
    Check(!NT_SUCCESS(status) || direct == fallback);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    host::Start(host::Config{});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 2 * kMaxValueNameChars)
        return 0;
    uint8_t mode = data[0];
    size_t bytes = size - 1;
    std::u16string text((bytes + 1) / 2, u'\0');
    memcpy(text.data(), data + 1, bytes);
    host::RegistryClear();

    std::vector<std::u16string_view> parts;
    NTSTATUS parsed = host::RegistryParsePath(std::u16string_view(text.data(), bytes / 2), &parts);
    for (std::u16string_view part : parts)
        Check(!part.empty() && part.size() <= 255 && part.find(u'\\') == std::u16string_view::npos);

    UNICODE_STRING name{static_cast<USHORT>(bytes), static_cast<USHORT>(text.size() * 2), text.data()};
    HANDLE root = nullptr;
    if (mode & 1) {
        UNICODE_STRING services{static_cast<USHORT>(kServices.size() * 2),
                                static_cast<USHORT>(kServices.size() * 2),
                                const_cast<PWCH>(kServices.data())};
        Check(OpenOrCreate(false, nullptr, &services, &root) == STATUS_SUCCESS);
    } else if (bytes % 2 == 0 && !NT_SUCCESS(parsed)) {
        HANDLE key = nullptr;
        Check(OpenOrCreate(true, nullptr, &name, &key) == parsed); // the parser decides every absolute name
    }
    RoundTrip(root, &name);
    if (mode & 2)
        QueryTable(std::u16string(text.data(), bytes / 2));
    if (root != nullptr)
        ZwClose(root);
    return 0;
}
