// Adapter configuration: the device's driver (software) key, where the standard adapter keywords live.
#include "internal.h"

#include <new>

namespace netadapter
{
namespace
{

struct Configuration : fx::Object {
    Configuration() : fx::Object(fx::Kind::NetConfiguration) {}
    ~Configuration() override
    {
        if (key != nullptr)
            ZwClose(key);
    }
    HANDLE key = nullptr;
};

int DigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Keywords are written as text by installations and property pages. The whole text must be digits of
// the base (no sign, prefix or blanks) and fit 32 bits; anything else is not a number.
NTSTATUS ParseUlong(std::u16string_view text, ULONG base, PULONG value)
{
    if (text.empty())
        return STATUS_INVALID_PARAMETER;
    ULONGLONG result = 0;
    for (char16_t c : text) {
        int digit = DigitValue(c);
        if (digit < 0 || ULONG(digit) >= base)
            return STATUS_INVALID_PARAMETER;
        result = result * base + ULONG(digit);
        if (result > MAXULONG)
            return STATUS_INVALID_PARAMETER;
    }
    *value = ULONG(result);
    return STATUS_SUCCESS;
}

} // namespace
} // namespace netadapter

using namespace netadapter;

extern "C" {

// Opened for reading only, as it is: a driver key that is gone fails the open with the registry's status.
NTSTATUS NetAdapterOpenConfiguration(NETADAPTER Adapter, PWDF_OBJECT_ATTRIBUTES ConfigurationAttributes,
                                     NETCONFIGURATION* Configuration)
{
    auto* adapter = AdapterFrom(Adapter, "NetAdapterOpenConfiguration");
    if (Configuration != nullptr)
        *Configuration = nullptr;
    if (adapter == nullptr || Configuration == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string path = host::io::NodeDriverKey(adapter->device->node);
    UNICODE_STRING name = host::io::Counted(path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* opened = new (std::nothrow) netadapter::Configuration;
    if (opened == nullptr) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    opened->key = key;
    return fx::Publish(opened, ConfigurationAttributes, adapter, _ReturnAddress(), Configuration);
}

// A REG_DWORD as it is, or a REG_SZ read as decimal text (hexadecimal with the flag); a missing value
// fails with STATUS_OBJECT_NAME_NOT_FOUND and leaves *Value alone.
NTSTATUS NetConfigurationQueryUlong(NETCONFIGURATION Configuration, NET_CONFIGURATION_QUERY_ULONG_FLAGS Flags,
                                    PCUNICODE_STRING ValueName, PULONG Value)
{
    auto* configuration = fx::As<netadapter::Configuration>(Configuration, fx::Kind::NetConfiguration,
                                                            "NetConfigurationQueryUlong");
    if (configuration == nullptr || ValueName == nullptr || Value == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::vector<UCHAR> data;
    ULONG type = REG_NONE;
    NTSTATUS status = fx::RegistryQueryValue(configuration->key, ValueName, &data, &type);
    if (!NT_SUCCESS(status))
        return status;
    if (type == REG_DWORD && data.size() == sizeof(ULONG)) {
        memcpy(Value, data.data(), sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    if (type != REG_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ULONG base = (Flags & NET_CONFIGURATION_QUERY_ULONG_MAY_BE_STORED_AS_HEX_STRING) != 0 ? 16 : 10;
    return ParseUlong(host::io::RegistryText(data), base, Value);
}

void NetConfigurationClose(NETCONFIGURATION Configuration)
{
    auto* configuration =
        fx::As<netadapter::Configuration>(Configuration, fx::Kind::NetConfiguration, "NetConfigurationClose");
    if (configuration != nullptr)
        fx::Delete(configuration);
}

} // extern "C"
