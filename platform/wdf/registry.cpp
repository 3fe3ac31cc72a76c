// Framework registry keys (over the kernel's registry handles) and strings.
#include "fxio.h"

#include <host/loader.h>

#include <new>

namespace fx
{
namespace
{

struct Key : Object {
    Key() : Object(Kind::Key) {}
    ~Key() override
    {
        if (handle != nullptr)
            ZwClose(handle);
    }
    HANDLE handle = nullptr;
};

struct String : Object {
    String() : Object(Kind::String) {}
    std::u16string text;
    UNICODE_STRING counted{};
};

// Opens (creating when `create`) the key at `path` and wraps it in a WDFKEY.
NTSTATUS OpenKey(std::u16string path, HANDLE root, ACCESS_MASK access, bool create,
                 PWDF_OBJECT_ATTRIBUTES attributes, Object* parent, const void* caller, WDFKEY* key)
{
    if (key == nullptr)
        return STATUS_INVALID_PARAMETER;
    *key = nullptr;
    UNICODE_STRING name = host::io::Counted(path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status =
        create ? ZwCreateKey(&handle, access, &object, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
               : ZwOpenKey(&handle, access, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* created = new (std::nothrow) Key;
    if (created == nullptr) {
        ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    created->handle = handle;
    return Publish(created, attributes, parent, caller, key);
}

Key* KeyOf(WDFKEY handle, const char* api)
{
    return As<Key>(handle, Kind::Key, api);
}

NTSTATUS QueryPartial(WDFKEY handle, PCUNICODE_STRING name, std::vector<UCHAR>* data, ULONG* type,
                      const char* api)
{
    Key* key = KeyOf(handle, api);
    if (key == nullptr || name == nullptr)
        return STATUS_INVALID_PARAMETER;
    return RegistryQueryValue(key->handle, name, data, type);
}

// A string value's text: STATUS_OBJECT_TYPE_MISMATCH for a value of another type.
NTSTATUS QueryText(WDFKEY handle, PCUNICODE_STRING name, std::u16string* text, const char* api)
{
    std::vector<UCHAR> data;
    ULONG type = REG_NONE;
    NTSTATUS status = QueryPartial(handle, name, &data, &type, api);
    if (!NT_SUCCESS(status))
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *text = host::io::RegistryText(data);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS RegistryQueryValue(HANDLE key, PCUNICODE_STRING name, std::vector<UCHAR>* data, ULONG* type)
{
    ULONG needed = 0;
    auto* valueName = const_cast<PUNICODE_STRING>(name);
    NTSTATUS status = ZwQueryValueKey(key, valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return status;
    std::vector<UCHAR> buffer(needed);
    status = ZwQueryValueKey(key, valueName, KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    data->assign(info->Data, info->Data + info->DataLength);
    *type = info->Type;
    return STATUS_SUCCESS;
}

NTSTATUS StringAssign(WDFSTRING handle, PCUNICODE_STRING text)
{
    auto* string = As<String>(handle, Kind::String, "WDFSTRING");
    if (string == nullptr)
        return STATUS_INVALID_PARAMETER;
    string->text = host::io::Text(text);
    string->counted = host::io::Counted(string->text);
    return STATUS_SUCCESS;
}

} // namespace fx

using namespace fx;

extern "C" {

// The device key is the instance's "Device Parameters", the driver key the instance's key under the
// device class; the framework's subkey flags open "Device Parameters\..." as on Windows.
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceOpenRegistryKey");
    if (Key != nullptr)
        *Key = nullptr;
    if (device == nullptr || Key == nullptr || device->node == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string path;
    switch (DeviceInstanceKeyType & ~(WDF_REGKEY_DEVICE_SUBKEY | WDF_REGKEY_DRIVER_SUBKEY)) {
    case PLUGPLAY_REGKEY_DEVICE:
        path = host::io::NodeEnumKey(device->node) + u"\\Device Parameters";
        break;
    case PLUGPLAY_REGKEY_DRIVER:
        path = host::io::NodeDriverKey(device->node);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return OpenKey(path, nullptr, DesiredAccess, true, KeyAttributes, device, _ReturnAddress(), Key);
}

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    auto* driver = As<fx::Driver>(Driver, Kind::Driver, "WdfDriverOpenParametersRegistryKey");
    if (driver == nullptr)
        return STATUS_INVALID_PARAMETER;
    return OpenKey(driver->registryPath + u"\\Parameters", nullptr, DesiredAccess, true, KeyAttributes,
                   driver, _ReturnAddress(), Key);
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    if (KeyName == nullptr || KeyName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string name = host::io::Text(KeyName);
    HANDLE root = nullptr;
    fx::Object* parent = DriverOfCaller(_ReturnAddress());
    if (ParentKey != nullptr) {
        auto* key = KeyOf(ParentKey, "WdfRegistryOpenKey");
        if (key == nullptr)
            return STATUS_INVALID_PARAMETER;
        root = key->handle;
    }
    return OpenKey(name, root, DesiredAccess, false, KeyAttributes, parent, _ReturnAddress(), Key);
}

void WdfRegistryClose(WDFKEY Key)
{
    if (auto* key = KeyOf(Key, "WdfRegistryClose"))
        Delete(key);
}

HANDLE WdfRegistryWdmGetHandle(WDFKEY Key)
{
    auto* key = KeyOf(Key, "WdfRegistryWdmGetHandle");
    return key == nullptr ? nullptr : key->handle;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType)
{
    std::vector<UCHAR> data;
    ULONG type = REG_NONE;
    NTSTATUS status = QueryPartial(Key, ValueName, &data, &type, "WdfRegistryQueryValue");
    if (!NT_SUCCESS(status))
        return status;
    if (ValueLengthQueried != nullptr)
        *ValueLengthQueried = static_cast<ULONG>(data.size());
    if (ValueType != nullptr)
        *ValueType = type;
    if (Value == nullptr && ValueLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (ValueLength < data.size() || Value == nullptr)
        return STATUS_BUFFER_OVERFLOW;
    memcpy(Value, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    if (Value == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::vector<UCHAR> data;
    ULONG type = REG_NONE;
    NTSTATUS status = QueryPartial(Key, ValueName, &data, &type, "WdfRegistryQueryULong");
    if (!NT_SUCCESS(status))
        return status;
    if (type != REG_DWORD || data.size() != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    memcpy(Value, data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    std::u16string text;
    NTSTATUS status = QueryText(Key, ValueName, &text, "WdfRegistryQueryString");
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING counted = host::io::Counted(text);
    return StringAssign(String, &counted);
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value)
{
    std::u16string text;
    NTSTATUS status = QueryText(Key, ValueName, &text, "WdfRegistryQueryUnicodeString");
    if (!NT_SUCCESS(status))
        return status;
    size_t bytes = text.size() * sizeof(WCHAR);
    if (ValueByteLength != nullptr)
        *ValueByteLength = static_cast<USHORT>(bytes);
    if (Value == nullptr)
        return STATUS_SUCCESS;
    if (Value->MaximumLength < bytes || Value->Buffer == nullptr)
        return STATUS_BUFFER_OVERFLOW;
    memcpy(Value->Buffer, text.data(), bytes);
    Value->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                PVOID Value)
{
    auto* key = KeyOf(Key, "WdfRegistryAssignValue");
    if (key == nullptr || ValueName == nullptr)
        return STATUS_INVALID_PARAMETER;
    return ZwSetValueKey(key->handle, const_cast<PUNICODE_STRING>(ValueName), 0, ValueType, Value,
                         ValueLength);
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
{
    return WdfRegistryAssignValue(Key, ValueName, REG_DWORD, sizeof(Value), &Value);
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
{
    if (Value == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string text = host::io::Text(Value);
    text.push_back(0);
    return WdfRegistryAssignValue(Key, ValueName, REG_SZ, static_cast<ULONG>(text.size() * sizeof(WCHAR)),
                                  text.data());
}

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         WDFSTRING* String)
{
    if (String == nullptr)
        return STATUS_INVALID_PARAMETER;
    *String = nullptr;
    auto* string = new (std::nothrow) fx::String;
    NTSTATUS status =
        Publish(string, StringAttributes, DriverOfCaller(_ReturnAddress()), _ReturnAddress(), String);
    if (NT_SUCCESS(status) && UnicodeString != nullptr)
        status = StringAssign(*String, UnicodeString);
    return status;
}

void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    auto* string = As<fx::String>(String, Kind::String, "WdfStringGetUnicodeString");
    if (string != nullptr && UnicodeString != nullptr)
        *UnicodeString = string->counted;
}

} // extern "C"
