// Adapter keywords as an installation or a property page may have stored them: any type, any bytes.
// A query either fails and leaves the result alone, or answers a value whose digits, written back in
// the base asked for, are the stored text without its leading zeros (a REG_DWORD: its four bytes).
// First byte: bits 0-1 pick REG_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ, bit 2 asks for hexadecimal.
#include <host/host.h>
#include <host/registry.h>
#include <netadaptercx.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../platform/drivers/plain_device.h"

namespace
{

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

constexpr std::u16string_view kInstance = u"TEST\\FUZZNET\\0";
NETADAPTER g_adapter;

std::u16string Digits(ULONG value, ULONG base)
{
    std::u16string text;
    do {
        text.insert(text.begin(), u"0123456789abcdef"[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

std::u16string Normalised(std::u16string text)
{
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'F')
            c = char16_t(c - u'A' + u'a');
    size_t zeros = text.find_first_not_of(u'0');
    if (zeros == std::u16string::npos)
        return text.empty() ? text : u"0";
    return text.substr(zeros);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    host::Start(host::Config{});
    WDFDEVICE device = plaindevice::Add(u"FuzzNet", u"TEST\\FUZZNET", kInstance);
    Check(device != nullptr);
    NETADAPTER_INIT* init = NetAdapterInitAllocate(device);
    Check(init != nullptr);
    Check(NetAdapterCreate(init, WDF_NO_OBJECT_ATTRIBUTES, &g_adapter) == STATUS_SUCCESS);
    NetAdapterInitFree(init);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    static const ULONG kTypes[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ};
    ULONG type = kTypes[data[0] & 3];
    bool hex = (data[0] & 4) != 0;
    std::u16string key = host::PnpDriverKey(kInstance);
    Check(host::RegistrySetValue(key, u"*Keyword", type, data + 1, size - 1) == STATUS_SUCCESS);

    NETCONFIGURATION configuration = nullptr;
    Check(NetAdapterOpenConfiguration(g_adapter, WDF_NO_OBJECT_ATTRIBUTES, &configuration) == STATUS_SUCCESS);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"*Keyword");
    ULONG value = 0xA5A5A5A5;
    NTSTATUS status =
        NetConfigurationQueryUlong(configuration,
                                   hex ? NET_CONFIGURATION_QUERY_ULONG_MAY_BE_STORED_AS_HEX_STRING
                                       : NET_CONFIGURATION_QUERY_ULONG_NO_FLAGS,
                                   &name, &value);
    NetConfigurationClose(configuration);

    if (!NT_SUCCESS(status)) {
        Check(value == 0xA5A5A5A5);
    } else if (type == REG_DWORD) {
        Check(size - 1 == sizeof(ULONG) && memcmp(&value, data + 1, sizeof(ULONG)) == 0);
    } else {
        Check(type == REG_SZ);
        std::u16string stored((size - 1) / 2, u'\0');
        memcpy(stored.data(), data + 1, stored.size() * 2);
        Check(Digits(value, hex ? 16 : 10) == Normalised(stored));
    }
    return 0;
}
