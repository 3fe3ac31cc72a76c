// The registry's kernel view over the one hive: paths, key handles and access, value layouts, deletion,
// the Rtl helpers' table walk and the host's control of the hive.
#include <gtest/gtest.h>

#include <host/registry.h>
#include <wdm.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host_test.h"

namespace
{

constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const std::u16string kSvc = std::u16string(kServices) + u"\\Svc";

struct Name {
    explicit Name(std::u16string_view text) : text(text)
    {
        string = {static_cast<USHORT>(this->text.size() * 2), static_cast<USHORT>(this->text.size() * 2),
                  this->text.data()};
    }
    std::u16string text;
    UNICODE_STRING string;
};

class Registry : public testing::Test
{
  protected:
    void SetUp() override { host::RegistryClear(); }

    void TearDown() override
    {
        for (HANDLE handle : handles_)
            ZwClose(handle);
    }

    NTSTATUS Create(std::u16string_view path, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS,
                    HANDLE root = nullptr, ULONG* disposition = nullptr, PUNICODE_STRING className = nullptr)
    {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        NTSTATUS status = ZwCreateKey(handle, access, &attributes, 0, className, 0, disposition);
        Track(status, *handle);
        return status;
    }

    NTSTATUS Open(std::u16string_view path, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr)
    {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.string, OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwOpenKey(handle, access, &attributes);
        Track(status, *handle);
        return status;
    }

    HANDLE Key(std::u16string_view path, ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        EXPECT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(path));
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Open(path, &handle, access));
        return handle;
    }

    // KeyValuePartialInformation of a value, or the failing status.
    NTSTATUS Query(HANDLE key, std::u16string_view value, ULONG* type, std::vector<UCHAR>* data)
    {
        Name name(value);
        std::vector<UCHAR> buffer(512);
        ULONG result = 0;
        NTSTATUS status = ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &result);
        if (NT_SUCCESS(status)) {
            auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
            *type = info->Type;
            data->assign(info->Data, info->Data + info->DataLength);
        }
        return status;
    }

    NTSTATUS Set(HANDLE key, std::u16string_view value, ULONG type, const void* data, ULONG size)
    {
        Name name(value);
        return ZwSetValueKey(key, &name.string, 0, type, const_cast<void*>(data), size);
    }

  private:
    void Track(NTSTATUS status, HANDLE handle)
    {
        if (NT_SUCCESS(status))
            handles_.push_back(handle);
    }
    std::vector<HANDLE> handles_;
};

std::vector<UCHAR> Bytes(const void* data, size_t size)
{
    auto bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + size);
}

std::vector<UCHAR> Bytes(std::u16string_view text)
{
    return Bytes(text.data(), text.size() * 2);
}

// ---------------------------------------------------------------------------------------------
// Paths.

TEST_F(Registry, PathsParseAsWindowsResolvesThem)
{
    const std::u16string longest(255, u'k');
    struct Case {
        std::u16string path;
        NTSTATUS status;
        size_t components;
    } cases[] = {
        {u"\\Registry\\Machine\\System", STATUS_SUCCESS, 2},
        {u"\\REGISTRY\\MACHINE", STATUS_SUCCESS, 1},
        {u"\\registry", STATUS_SUCCESS, 0},
        {u"\\Registry\\Machine\\System\\", STATUS_SUCCESS, 2}, // one trailing separator is tolerated
        {u"\\Registry\\Machine\\\\System", STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\Registry\\Machine\\System\\\\", STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\\\", STATUS_OBJECT_NAME_INVALID, 0},
        {u"", STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH, 0},
        {u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        {u"\\Device\\Thing", STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {u"\\Device", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {u"\\Registry\\Machine\\" + longest, STATUS_SUCCESS, 2},
        {u"\\Registry\\Machine\\" + longest + u"k", STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\Registry\\Machine\\\U0001F600 key", STATUS_SUCCESS, 2}, // surrogate pairs are just characters
    };
    for (const Case& c : cases) {
        std::vector<std::u16string_view> components;
        EXPECT_EQ(c.status, host::RegistryParsePath(c.path, &components)) << c.path.size();
        EXPECT_EQ(c.components, components.size());
    }
}

TEST_F(Registry, OpenReportsMissingKeysAndMalformedNames)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\Missing", &handle));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\Missing\\Below", &handle));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Open(u"\\Registry\\\\Machine", &handle));
    EXPECT_EQ(STATUS_SUCCESS, Open(u"\\REGISTRY\\machine\\system\\currentcontrolset\\SERVICES\\", &handle));

    Name name(u"\\Registry\\Machine");
    name.string.Length = 5; // half a character
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, 0, nullptr, nullptr);
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(&handle, KEY_READ, &attributes));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&handle, KEY_READ, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Keys and handles.

TEST_F(Registry, CreateMakesOnlyTheLastComponentAndPreservesCase)
{
    HANDLE handle = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(kSvc + u"\\Parameters", &handle));
    EXPECT_FALSE(host::RegistryKeyExists(kSvc));

    ASSERT_EQ(STATUS_SUCCESS, Create(kSvc, &handle, KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\registry\\MACHINE\\system\\CURRENTCONTROLSET\\services\\SVC",
                                     &handle, KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ(std::vector<std::u16string>{u"Svc"}, host::RegistrySubkeys(kServices));

    // Relative to a handle, including the empty name that opens the key itself again.
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"Parameters", &child, KEY_ALL_ACCESS, handle, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    EXPECT_TRUE(host::RegistryKeyExists(kSvc + u"\\parameters"));
    HANDLE again = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Open(u"", &again, KEY_READ, child));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(u"\\Parameters", &again, KEY_READ, handle));

    // Only the hives live directly below \Registry.
    EXPECT_EQ(STATUS_ACCESS_DENIED, Create(u"\\Registry\\Other", &again));
}

TEST_F(Registry, HandleAccessIsEnforcedPerOperation)
{
    host::RegistrySetDword(kSvc, u"Start", 3);
    host::RegistryCreateKey(kSvc + u"\\Sub");
    ULONG value = 1;
    Name start(u"Start");
    UCHAR buffer[64];
    ULONG result = 0;
    enum Op { QueryValue, SetValue, DeleteValue, Enumerate, QueryKey, CreateSub, Delete };
    struct Case {
        ACCESS_MASK granted;
        Op op;
        bool allowed;
    } cases[] = {
        {KEY_READ, QueryValue, true},
        {KEY_READ, SetValue, false},
        {KEY_READ, Enumerate, true},
        {KEY_READ, CreateSub, false},
        {KEY_READ, Delete, false},
        {KEY_WRITE, SetValue, true},
        {KEY_WRITE, DeleteValue, true},
        {KEY_WRITE, QueryValue, false},
        {KEY_WRITE, Enumerate, false},
        {KEY_WRITE, CreateSub, true},
        {KEY_SET_VALUE, Delete, false},
        {KEY_QUERY_VALUE, QueryKey, true},
        {KEY_ENUMERATE_SUB_KEYS, QueryKey, false},
        {GENERIC_READ, QueryValue, true},
        {GENERIC_READ, SetValue, false},
        {MAXIMUM_ALLOWED, SetValue, true},
    };
    for (const Case& c : cases) {
        HANDLE key = Key(kSvc, c.granted);
        HANDLE sub = nullptr;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        switch (c.op) {
        case QueryValue:
            status = ZwQueryValueKey(key, &start.string, KeyValuePartialInformation, buffer, sizeof(buffer),
                                     &result);
            break;
        case SetValue:
            status = ZwSetValueKey(key, &start.string, 0, REG_DWORD, &value, sizeof(value));
            break;
        case DeleteValue:
            status = ZwDeleteValueKey(key, &start.string);
            host::RegistrySetDword(kSvc, u"Start", 3);
            break;
        case Enumerate:
            status = ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &result);
            break;
        case QueryKey:
            status = ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &result);
            break;
        case CreateSub:
            status = Create(u"New", &sub, KEY_READ, key);
            host::RegistryDeleteTree(kSvc + u"\\New");
            break;
        case Delete:
            status = ZwDeleteKey(Key(kSvc + u"\\Sub", c.granted));
            host::RegistryCreateKey(kSvc + u"\\Sub");
            break;
        }
        EXPECT_EQ(c.allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED, status)
            << "granted " << std::hex << c.granted << " op " << c.op;
    }
}

TEST_F(Registry, BadHandlesGetTheirStatus)
{
    UCHAR buffer[64];
    ULONG result = 0;
    Name name(u"x");
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              ZwQueryValueKey(reinterpret_cast<HANDLE>(0x7770), &name.string, KeyValuePartialInformation,
                              buffer, sizeof(buffer), &result));
    HANDLE root = reinterpret_cast<HANDLE>(0x7770);
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_INVALID_HANDLE, Open(u"Svc", &handle, KEY_READ, root));
    HANDLE key = Key(kSvc);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwQueryKey(key, KeyNodeInformation, buffer, sizeof(buffer), &result));
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter); // the kernel would fault writing it
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), nullptr));
    }
}

TEST_F(Registry, OnlyLeafKeysAreDeletedAndTheirHandlesThenFail)
{
    HANDLE svc = Key(kSvc);
    HANDLE leaf = Key(kSvc + u"\\Leaf");
    HANDLE other = Key(kSvc + u"\\Leaf");
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(svc));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(Key(u"\\Registry\\Machine")));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(Key(u"\\Registry")));

    ASSERT_EQ(STATUS_SUCCESS, ZwDeleteKey(leaf));
    EXPECT_FALSE(host::RegistryKeyExists(kSvc + u"\\Leaf"));
    ULONG type = 0;
    std::vector<UCHAR> data;
    UCHAR buffer[64];
    ULONG result = 0;
    HANDLE handle = nullptr;
    ULONG one = 1;
    EXPECT_EQ(STATUS_KEY_DELETED, Query(other, u"x", &type, &data));
    EXPECT_EQ(STATUS_KEY_DELETED, Set(other, u"x", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(other, KeyBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(STATUS_KEY_DELETED,
              ZwEnumerateKey(other, 0, KeyBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(STATUS_KEY_DELETED, Create(u"Child", &handle, KEY_ALL_ACCESS, other));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwDeleteKey(other));

    // The same name is a new key, unrelated to the old handles.
    HANDLE renewed = Key(kSvc + u"\\Leaf");
    EXPECT_EQ(STATUS_SUCCESS, Set(renewed, u"x", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(STATUS_KEY_DELETED, Query(other, u"x", &type, &data));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(renewed));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(svc)); // now a leaf
}

// ---------------------------------------------------------------------------------------------
// Values.

TEST_F(Registry, ValuesKeepTheirBytesAndTypeAsWritten)
{
    HANDLE key = Key(kSvc);
    const UCHAR three[] = {1, 2, 3};
    const ULONGLONG qword = 0x1122334455667788ULL;
    const ULONG dword = 0xCAFE;
    struct Case {
        std::u16string name;
        ULONG type;
        std::vector<UCHAR> data;
    } cases[] = {
        {u"None", REG_NONE, {}},
        {u"Sz", REG_SZ, Bytes(std::u16string_view(u"text", 5))},
        {u"Unterminated", REG_SZ, Bytes(u"abc")},
        {u"Expand", REG_EXPAND_SZ, Bytes(std::u16string_view(u"%x%", 4))},
        {u"Binary", REG_BINARY, Bytes(three, sizeof(three))},
        {u"Dword", REG_DWORD, Bytes(&dword, sizeof(dword))},
        {u"ShortDword", REG_DWORD, Bytes(three, sizeof(three))}, // Windows does not hold data to its type
        {u"Qword", REG_QWORD, Bytes(&qword, sizeof(qword))},
        {u"Multi", REG_MULTI_SZ, Bytes(std::u16string_view(u"a\0bc\0\0", 6))},
        {u"", REG_SZ, Bytes(std::u16string_view(u"default", 8))},
        {u"Odd", 0x1234, Bytes(three, 1)},
    };
    for (const Case& c : cases)
        ASSERT_EQ(STATUS_SUCCESS, Set(key, c.name, c.type, c.data.data(), static_cast<ULONG>(c.data.size())));
    for (const Case& c : cases) {
        ULONG type = 0;
        std::vector<UCHAR> data;
        ASSERT_EQ(STATUS_SUCCESS, Query(key, c.name, &type, &data));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.data, data);
    }
    // Names are case-insensitive; a write replaces type and data.
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_EQ(STATUS_SUCCESS, Set(key, u"DWORD", REG_BINARY, three, 2));
    ASSERT_EQ(STATUS_SUCCESS, Query(key, u"dword", &type, &data));
    EXPECT_EQ(ULONG{REG_BINARY}, type);
    EXPECT_EQ(Bytes(three, 2), data);

    Name gone(u"Binary");
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(key, &gone.string));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key, &gone.string));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key, u"Binary", &type, &data));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(key, u"Null", REG_BINARY, nullptr, 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(key, std::u16string(16384, u'v'), REG_NONE, nullptr, 0));
}

// Every class: below the fixed header nothing is written; between header and whole record the header
// is filled and STATUS_BUFFER_OVERFLOW says how much is needed; the whole record has the Windows layout.
TEST_F(Registry, ValueInformationLayoutsAndShortBuffers)
{
    HANDLE key = Key(kSvc);
    const UCHAR data[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ASSERT_EQ(STATUS_SUCCESS, Set(key, u"Name", REG_BINARY, data, sizeof(data)));
    Name name(u"Name");
    struct Case {
        KEY_VALUE_INFORMATION_CLASS type;
        ULONG header;
        ULONG total;
    } cases[] = {
        {KeyValueBasicInformation, 12, 12 + 8},
        {KeyValueFullInformation, 20, 28 + 5}, // name ends at 28, already ULONG-aligned
        {KeyValuePartialInformation, 12, 12 + 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::vector<UCHAR> buffer(64, 0xEE);
        ULONG result = 0;
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
                  ZwQueryValueKey(key, &name.string, c.type, buffer.data(), c.header - 1, &result));
        EXPECT_EQ(c.total, result);
        EXPECT_EQ(0xEE, buffer[0]);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryValueKey(key, &name.string, c.type, nullptr, 0, &result));
        EXPECT_EQ(c.total, result);

        result = 0;
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW,
                  ZwQueryValueKey(key, &name.string, c.type, buffer.data(), c.header, &result));
        EXPECT_EQ(c.total, result);
        EXPECT_EQ(0u, *reinterpret_cast<ULONG*>(buffer.data()));                    // TitleIndex
        EXPECT_EQ(ULONG{REG_BINARY}, *reinterpret_cast<ULONG*>(buffer.data() + 4)); // Type

        ASSERT_EQ(STATUS_SUCCESS,
                  ZwQueryValueKey(key, &name.string, c.type, buffer.data(), c.total, &result));
        EXPECT_EQ(0xEE, buffer[c.total]);
    }

    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(key, &name.string, KeyValueFullInformation, buffer.data(), 64, &result));
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(28u, full->DataOffset);
    EXPECT_EQ(5u, full->DataLength);
    EXPECT_EQ(u"Name", std::u16string(full->Name, full->NameLength / 2));
    EXPECT_EQ(Bytes(data, 5), Bytes(buffer.data() + full->DataOffset, 5));
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(key, &name.string, KeyValueBasicInformation, buffer.data(), 64, &result));
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(u"Name", std::u16string(basic->Name, basic->NameLength / 2));

    // An odd-length name pushes the data to the next ULONG.
    ASSERT_EQ(STATUS_SUCCESS, Set(key, u"Abc", REG_BINARY, data, 1));
    Name abc(u"Abc");
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(key, &abc.string, KeyValueFullInformation, buffer.data(), 64, &result));
    EXPECT_EQ(28u, full->DataOffset);
    EXPECT_EQ(29u, result);
}

TEST_F(Registry, EnumerationFollowsCreationOrderAndQueryKeyCounts)
{
    for (std::u16string_view name : {u"Zeta", u"alpha", u"Mid"})
        host::RegistryCreateKey(kSvc + u"\\" + std::u16string(name));
    host::RegistrySetDword(kSvc, u"LongerName", 1);
    host::RegistrySetString(kSvc, u"S", u"abcdef");
    HANDLE key = Key(kSvc);

    std::vector<std::u16string> keys;
    UCHAR buffer[256];
    ULONG result = 0;
    ULONG index = 0;
    for (; NT_SUCCESS(ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof(buffer), &result));
         index++) {
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ((std::vector<std::u16string>{u"Zeta", u"alpha", u"Mid"}), keys);
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateKey(key, 3, KeyBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, 16, &result));
    EXPECT_EQ(16u + 8u, result);

    std::vector<std::u16string> values;
    for (index = 0; NT_SUCCESS(
             ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer, sizeof(buffer), &result));
         index++) {
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ((std::vector<std::u16string>{u"LongerName", u"S"}), values);
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof(buffer), &result));

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &result));
    auto* full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
    EXPECT_EQ(3u, full->SubKeys);
    EXPECT_EQ(10u, full->MaxNameLen); // "alpha"
    EXPECT_EQ(2u, full->Values);
    EXPECT_EQ(20u, full->MaxValueNameLen); // "LongerName"
    EXPECT_EQ(14u, full->MaxValueDataLen); // "abcdef" and its terminator
    EXPECT_EQ(0u, full->ClassLength);

    // A class given at creation comes back in KeyFullInformation.
    Name className(u"Modem");
    HANDLE withClass = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              Create(kSvc + u"\\Classy", &withClass, KEY_ALL_ACCESS, nullptr, nullptr, &className.string));
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(withClass, KeyFullInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(10u, full->ClassLength);
    EXPECT_EQ(u"Modem", std::u16string(reinterpret_cast<WCHAR*>(buffer + full->ClassOffset), 5));
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(withClass, KeyBasicInformation, buffer, sizeof(buffer), &result));
    auto* basic = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(u"Classy", std::u16string(basic->Name, basic->NameLength / 2));
}

// ---------------------------------------------------------------------------------------------
// RtlQueryRegistryValues and the other Rtl helpers.

TEST_F(Registry, QueryDirectStoresEachKindOfData)
{
    host::RegistrySetDword(kSvc, u"Dword", 7);
    host::RegistrySetString(kSvc, u"Sz", u"hello");
    host::RegistrySetQword(kSvc, u"Qword", 0x0102030405060708ULL);
    const UCHAR blob[] = {9, 8, 7, 6, 5, 4};
    host::RegistrySetValue(kSvc, u"Blob", REG_BINARY, blob, sizeof(blob));
    host::RegistrySetMultiString(kSvc, u"Multi", {u"a", u"bc"});

    ULONG dword = 0;
    WCHAR storage[16];
    UNICODE_STRING fixed{0, sizeof(storage), storage};
    UNICODE_STRING allocated{};
    UNICODE_STRING multi{};
    ULONGLONG qword = static_cast<ULONGLONG>(-static_cast<LONGLONG>(sizeof(ULONGLONG))); // data only
    struct {
        LONG size;
        ULONG type;
        UCHAR data[8];
    } prefixed{sizeof(prefixed), 0, {}}; // {length, type, data}
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Dword"), &dword, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Sz"), &fixed, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"sz"), &allocated, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(u"Multi"),
         &multi, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Qword"), &qword, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Blob"), &prefixed, REG_NONE, nullptr, 0},
        {},
    };
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, nullptr, nullptr));
    EXPECT_EQ(7u, dword);
    EXPECT_EQ(u"hello", std::u16string(fixed.Buffer, fixed.Length / 2));
    EXPECT_EQ(0, fixed.Buffer[5]);
    ASSERT_NE(nullptr, allocated.Buffer);
    EXPECT_EQ(u"hello", std::u16string(allocated.Buffer));
    EXPECT_EQ(12, allocated.MaximumLength);
    EXPECT_EQ(std::u16string(u"a\0bc\0", 5), std::u16string(multi.Buffer, multi.Length / 2));
    EXPECT_EQ(0x0102030405060708ULL, qword);
    EXPECT_EQ(6, prefixed.size);
    EXPECT_EQ(ULONG{REG_BINARY}, prefixed.type);
    EXPECT_EQ(Bytes(blob, 6), Bytes(prefixed.data, 6));
    RtlFreeUnicodeString(&allocated);
    RtlFreeUnicodeString(&multi);
    EXPECT_EQ(nullptr, allocated.Buffer);

    // Buffers too small for the data.
    UNICODE_STRING tiny{0, 8, storage};
    LONG small = -4;
    ULONGLONG smallQword[1] = {static_cast<ULONGLONG>(static_cast<ULONG>(-7))};
    struct {
        const char16_t* name;
        void* context;
    } tooSmall[] = {{u"Sz", &tiny}, {u"Blob", &small}, {u"Qword", smallQword}};
    for (auto& c : tooSmall) {
        RTL_QUERY_REGISTRY_TABLE one[] = {
            {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(c.name), c.context, REG_NONE, nullptr, 0},
            {}};
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
                  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSvc.c_str(), one, nullptr, nullptr));
    }
}

TEST_F(Registry, QueryRequiredDefaultsAndTypeCheck)
{
    host::RegistrySetDword(kSvc, u"Present", 5);
    host::RegistrySetString(kSvc, u"Text", u"t");
    ULONG value = 0;
    const ULONG fallback = 42;
    auto run = [&](ULONG flags, const char16_t* name, ULONG defaultType, PVOID defaultData,
                   ULONG defaultLength, PVOID context) {
        RTL_QUERY_REGISTRY_TABLE table[] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT | flags,
                                             const_cast<PWSTR>(name), context, defaultType, defaultData,
                                             defaultLength},
                                            {}};
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSvc.c_str(), table, nullptr, nullptr);
    };
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, run(RTL_QUERY_REGISTRY_REQUIRED, u"Missing", REG_DWORD,
                                                const_cast<ULONG*>(&fallback), 4, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(STATUS_SUCCESS, run(0, u"Missing", REG_NONE, nullptr, 0, &value)); // no default: untouched
    EXPECT_EQ(0u, value);
    EXPECT_EQ(STATUS_SUCCESS, run(0, u"Missing", REG_DWORD, const_cast<ULONG*>(&fallback), 4, &value));
    EXPECT_EQ(42u, value);
    EXPECT_EQ(STATUS_SUCCESS, run(RTL_QUERY_REGISTRY_REQUIRED, u"Present", REG_NONE, nullptr, 0, &value));
    EXPECT_EQ(5u, value);

    WCHAR storage[16];
    UNICODE_STRING text{0, sizeof(storage), storage};
    EXPECT_EQ(STATUS_SUCCESS, run(0, u"NoText", REG_SZ, const_cast<char16_t*>(u"dflt"), 0, &text));
    EXPECT_EQ(u"dflt", std::u16string(text.Buffer, text.Length / 2));

    const ULONG expectDword = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              run(RTL_QUERY_REGISTRY_TYPECHECK, u"Text", expectDword, nullptr, 0, &value));
    EXPECT_EQ(STATUS_SUCCESS, run(RTL_QUERY_REGISTRY_TYPECHECK, u"Present", expectDword, nullptr, 0, &value));
    EXPECT_EQ(STATUS_SUCCESS, run(RTL_QUERY_REGISTRY_TYPECHECK, u"Missing", expectDword | REG_DWORD,
                                  const_cast<ULONG*>(&fallback), 4, &value));
    EXPECT_EQ(42u, value);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, run(0, u"Present", REG_NONE, nullptr, 0, nullptr));
}

struct Seen {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
    void* entryContext;
};

NTSTATUS Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext)
{
    static_cast<std::vector<Seen>*>(context)->push_back(
        {name != nullptr ? name : u"", type, Bytes(data, data != nullptr ? length : 0), entryContext});
    return STATUS_SUCCESS;
}

NTSTATUS Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_INVALID_DEVICE_STATE;
}

TEST_F(Registry, QueryRoutinesSeeValuesSubkeysAndSplitMultiStrings)
{
    host::RegistrySetMultiString(kSvc, u"List", {u"one", u"two"});
    host::RegistrySetDword(kSvc, u"Top", 1);
    host::RegistrySetDword(kSvc + u"\\Parameters", u"Inner", 2);
    host::RegistrySetDword(kSvc + u"\\Parameters", u"Other", 3);
    int marker = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Record, 0, const_cast<PWSTR>(u"List"), &marker, REG_NONE, nullptr, 0},
        {Record, RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(u"List"), nullptr, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(u"Parameters"), nullptr, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"Inner"), nullptr, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"Top"), nullptr, REG_NONE, nullptr, 0}, // not in the subkey: skipped
        {Record, RTL_QUERY_REGISTRY_TOPKEY, nullptr, nullptr, REG_NONE, nullptr, 0}, // every top value
        {Record, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(u"Parameters"), nullptr, REG_NONE, nullptr, 0},
        {},
    };
    std::vector<Seen> seen;
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"\\Svc", table, &seen, nullptr));
    std::vector<std::pair<std::u16string, ULONG>> calls;
    for (const Seen& s : seen)
        calls.emplace_back(s.name, s.type);
    std::vector<std::pair<std::u16string, ULONG>> expected = {
        {u"List", REG_SZ},     {u"List", REG_SZ},     {u"List", REG_MULTI_SZ},
        {u"Inner", REG_DWORD}, {u"List", REG_SZ},     {u"List", REG_SZ},
        {u"Top", REG_DWORD},   {u"Inner", REG_DWORD}, {u"Other", REG_DWORD},
    };
    EXPECT_EQ(expected, calls);
    EXPECT_EQ(Bytes(std::u16string_view(u"two", 4)), seen[1].data); // each string with its terminator
    EXPECT_EQ(&marker, seen[0].entryContext);

    // A routine's failure ends the walk with its status.
    RTL_QUERY_REGISTRY_TABLE refusing[] = {
        {Refuse, 0, const_cast<PWSTR>(u"Top"), nullptr, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", refusing, nullptr, nullptr));
    // A missing subkey has no values; required, it fails the walk.
    RTL_QUERY_REGISTRY_TABLE absent[] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(u"Nope"), nullptr, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"Top"), nullptr, REG_NONE, nullptr, 0},
        {}};
    seen.clear();
    EXPECT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", absent, &seen, nullptr));
    EXPECT_TRUE(seen.empty());
    RTL_QUERY_REGISTRY_TABLE missing[] = {{nullptr, RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_REQUIRED,
                                           const_cast<PWSTR>(u"Nope"), nullptr, REG_NONE, nullptr, 0},
                                          {}};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", missing, nullptr, nullptr));
}

TEST_F(Registry, QueryResolvesEachRelativeRoot)
{
    host::RegistrySetDword(kSvc, u"V", 1);
    host::RegistrySetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Thing", u"V", 2);
    HANDLE readable = Key(kSvc, KEY_READ);
    HANDLE blind = Key(kSvc, KEY_ENUMERATE_SUB_KEYS);
    struct Case {
        ULONG relativeTo;
        PCWSTR path;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {RTL_REGISTRY_ABSOLUTE, kSvc.c_str(), STATUS_SUCCESS, 1},
        {RTL_REGISTRY_SERVICES, u"Svc", STATUS_SUCCESS, 1},
        {RTL_REGISTRY_CONTROL, u"Thing", STATUS_SUCCESS, 2},
        {RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(readable), STATUS_SUCCESS, 1},
        {RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(blind), STATUS_ACCESS_DENIED, 0},
        {RTL_REGISTRY_SERVICES, u"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Missing", STATUS_SUCCESS, 0},
        {RTL_REGISTRY_ABSOLUTE, u"Services\\Svc", STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        {RTL_REGISTRY_USER, u"Svc", STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        ULONG value = 0;
        RTL_QUERY_REGISTRY_TABLE table[] = {
            {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"V"), &value, REG_NONE, nullptr, 0}, {}};
        EXPECT_EQ(c.status, RtlQueryRegistryValuesEx(c.relativeTo, c.path, table, nullptr, nullptr))
            << c.relativeTo;
        EXPECT_EQ(c.value, value);
    }
}

TEST_F(Registry, RtlWriteCheckCreateDelete)
{
    ULONG one = 1;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc", u"V", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Svc")));
    EXPECT_EQ(STATUS_SUCCESS, RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Svc\\A\\B")));
    EXPECT_EQ(STATUS_SUCCESS, RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Svc\\A\\B")));
    EXPECT_EQ(STATUS_SUCCESS,
              RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc\\A", u"V", REG_DWORD, &one, sizeof(one)));
    auto value = host::RegistryGetValue(kSvc + u"\\A", u"V");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(ULONG{REG_DWORD}, value->type);
    EXPECT_EQ(Bytes(&one, 4), value->data);
    EXPECT_EQ(STATUS_SUCCESS, RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc\\A", u"V"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc\\A", u"V"));

    HANDLE readOnly = Key(kSvc, KEY_READ);
    EXPECT_EQ(STATUS_ACCESS_DENIED, RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(readOnly),
                                                          u"V", REG_DWORD, &one, sizeof(one)));
}

// ---------------------------------------------------------------------------------------------
// Host control and observers.

TEST_F(Registry, HostControlSeedsInspectsAndClears)
{
    EXPECT_EQ(STATUS_SUCCESS, host::RegistrySetMultiString(kSvc, u"M", {u"x", u"yz"}));
    EXPECT_EQ(Bytes(std::u16string_view(u"x\0yz\0\0", 6)), host::RegistryGetValue(kSvc, u"m")->data);
    EXPECT_EQ(STATUS_SUCCESS, host::RegistrySetString(kSvc, u"E", u"%p%", REG_EXPAND_SZ));
    EXPECT_EQ(ULONG{REG_EXPAND_SZ}, host::RegistryGetValue(kSvc, u"E")->type);
    EXPECT_EQ((std::vector<std::u16string>{u"M", u"E"}), host::RegistryValueNames(kSvc));
    EXPECT_FALSE(host::RegistryGetValue(kSvc, u"Nope").has_value());
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, host::RegistrySetDword(u"\\Registry\\Machine\\\\Bad", u"V", 1));
    EXPECT_EQ(STATUS_ACCESS_DENIED, host::RegistryCreateKey(u"\\Registry\\Elsewhere\\Key"));
    EXPECT_TRUE(host::RegistrySubkeys(u"\\Registry\\User").empty());

    HANDLE deep = Key(kSvc + u"\\A\\B");
    EXPECT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(kSvc));
    EXPECT_FALSE(host::RegistryKeyExists(kSvc + u"\\A"));
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_EQ(STATUS_KEY_DELETED, Query(deep, u"V", &type, &data));
    EXPECT_EQ(STATUS_CANNOT_DELETE, host::RegistryDeleteTree(u"\\Registry\\Machine"));

    HANDLE kept = Key(kSvc);
    host::RegistryClear();
    EXPECT_EQ(STATUS_KEY_DELETED, Query(kept, u"V", &type, &data));
    EXPECT_FALSE(host::RegistryKeyExists(kSvc));
    EXPECT_TRUE(host::RegistryKeyExists(kServices));
}

TEST_F(Registry, ObserversSeeEveryWriteFromEveryEntryPoint)
{
    std::vector<std::tuple<std::u16string, host::RegistryChange, std::u16string>> events;
    int cookie = host::RegistryAddObserver(
        [&events](std::u16string_view key, host::RegistryChange change, std::u16string_view value) {
            events.emplace_back(key, change, value);
            EXPECT_TRUE(host::RegistryKeyExists(u"\\Registry\\Machine")); // the hive is not locked
        });
    const std::u16string root = u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services";
    HANDLE svc = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(kSvc, &svc));
    ULONG one = 1;
    Set(svc, u"V", REG_DWORD, &one, sizeof(one));
    RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(svc), u"W", REG_DWORD, &one, sizeof(one));
    Name v(u"V");
    ZwDeleteValueKey(svc, &v.string);
    host::RegistryCreateKey(root + u"\\Svc\\A\\B");
    host::RegistryDeleteTree(root + u"\\Svc");
    host::RegistryRemoveObserver(cookie);
    host::RegistrySetDword(kSvc, u"Late", 1);

    using C = host::RegistryChange;
    decltype(events) expected = {
        {root + u"\\Svc", C::KeyCreated, u""},       {root + u"\\Svc", C::ValueSet, u"V"},
        {root + u"\\Svc", C::ValueSet, u"W"},        {root + u"\\Svc", C::ValueDeleted, u"V"},
        {root + u"\\Svc\\A", C::KeyCreated, u""},    {root + u"\\Svc\\A\\B", C::KeyCreated, u""},
        {root + u"\\Svc\\A\\B", C::KeyDeleted, u""}, {root + u"\\Svc\\A", C::KeyDeleted, u""},
        {root + u"\\Svc", C::KeyDeleted, u""},
    };
    EXPECT_EQ(expected, events);
}

// Registry calls come from any thread at PASSIVE_LEVEL: writers, readers and observers share the hive.
TEST_F(Registry, ConcurrentWritersReadersAndDeletersStayConsistent)
{
    std::atomic<int> created{0};
    int cookie = host::RegistryAddObserver(
        [&created](std::u16string_view, host::RegistryChange change, std::u16string_view) {
            if (change == host::RegistryChange::KeyCreated)
                created++;
        });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            std::u16string path = kSvc + u"\\T" + static_cast<char16_t>(u'0' + t);
            for (ULONG i = 0; i < 50; i++) {
                ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(path, u"V", i));
                HANDLE key = nullptr;
                Name name(path);
                OBJECT_ATTRIBUTES attributes;
                InitializeObjectAttributes(&attributes, &name.string, 0, nullptr, nullptr);
                ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes));
                UCHAR buffer[64];
                ULONG result = 0;
                ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &result);
                host::RegistrySubkeys(kSvc);
                EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key));
                ZwClose(key);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    host::RegistryRemoveObserver(cookie);
    EXPECT_EQ(4 * 50 + 1, created.load()); // every key each time, and Svc once
    EXPECT_TRUE(host::RegistrySubkeys(kSvc).empty());
}

} // namespace
