// The raw SMBIOS tables through WMI: the size probe, the WNODE_ALL_DATA layout and the failures.
#include <gtest/gtest.h>

#include <host/pool.h>
#include <host/smbios.h>
#include <wdm.h>
#include <wmiguid.h>
#include <wmistr.h>

#include <string>
#include <vector>

#include "host_test.h"

namespace {

constexpr ULONG kTag = host::PoolTag("cSMB");

class Smbios : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::SmbiosTables tables;
        tables.majorVersion = 3;
        tables.minorVersion = 2;
        tables.dmiRevision = 1;
        tables.table = host::SmbiosTableBuilder()
                           .Add(0, {1, 2, 0, 0xE0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {"Firmware Vendor", "1.0"})
                           .Add(3, {0, 0x0A, 0, 0})
                           .AddSystemInformation("Contoso", "Laptop 5G")
                           .Build();
        table = tables.table;
        host::SmbiosSetTables(tables);
    }
    void TearDown() override { host::SmbiosClear(); }

    std::vector<UCHAR> table;
};

// The string numbered `index` (1-based) of the structure at `p` with formatted length `length`.
std::string StructureString(const UCHAR* p, UCHAR length, UCHAR index)
{
    const char* s = reinterpret_cast<const char*>(p + length);
    for (UCHAR i = 1; i < index; i++)
        s += strlen(s) + 1;
    return s;
}

TEST_F(Smbios, SizeProbeThenTheTablesInOneInstance)
{
    PVOID block = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, &block));
    ULONG size = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, IoWMIQueryAllData(block, &size, nullptr));
    ASSERT_GT(size, sizeof(WNODE_ALL_DATA) + table.size());

    auto* buffer = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
    ASSERT_NE(nullptr, buffer);
    ULONG returned = size;
    ASSERT_EQ(STATUS_SUCCESS, IoWMIQueryAllData(block, &returned, buffer));
    EXPECT_EQ(size, returned);

    auto* node = reinterpret_cast<WNODE_ALL_DATA*>(buffer);
    EXPECT_EQ(size, node->WnodeHeader.BufferSize);
    EXPECT_TRUE(IsEqualGUID(MSSmBios_RawSMBiosTables_GUID, node->WnodeHeader.Guid));
    EXPECT_EQ(ULONG(WNODE_FLAG_ALL_DATA), node->WnodeHeader.Flags);
    ASSERT_EQ(1u, node->InstanceCount);
    ULONG offset = node->OffsetInstanceDataAndLength[0].OffsetInstanceData;
    ULONG length = node->OffsetInstanceDataAndLength[0].LengthInstanceData;
    EXPECT_EQ(node->DataBlockOffset, offset);
    EXPECT_EQ(0u, offset % 8);
    ASSERT_LE(offset + length, size);
    ASSERT_EQ(8 + table.size(), length);

    const UCHAR* instance = buffer + offset;
    EXPECT_EQ(0, instance[0]) << "Used20CallingMethod";
    EXPECT_EQ(3, instance[1]);
    EXPECT_EQ(2, instance[2]);
    EXPECT_EQ(1, instance[3]);
    ULONG tableSize;
    memcpy(&tableSize, instance + 4, sizeof(tableSize));
    EXPECT_EQ(table.size(), tableSize);
    EXPECT_EQ(0, memcmp(table.data(), instance + 8, table.size()));

    // Walk it as a driver does: System Information's strings, then the end-of-table structure.
    const UCHAR* p = instance + 8;
    const UCHAR* end = instance + length;
    std::vector<UCHAR> types;
    std::string manufacturer, product;
    while (p + 4 <= end) {
        types.push_back(p[0]);
        if (p[0] == 1) {
            manufacturer = StructureString(p, p[1], p[4]);
            product = StructureString(p, p[1], p[5]);
        }
        if (p[0] == 127)
            break;
        const UCHAR* q = p + p[1];
        while (q + 1 < end && (q[0] != 0 || q[1] != 0))
            q++;
        p = q + 2;
    }
    EXPECT_EQ((std::vector<UCHAR>{0, 3, 1, 127}), types);
    EXPECT_EQ("Contoso", manufacturer);
    EXPECT_EQ("Laptop 5G", product);

    // The instance name follows the data, as a counted string.
    ULONG nameOffset;
    memcpy(&nameOffset, buffer + node->OffsetInstanceNameOffsets, sizeof(nameOffset));
    USHORT nameBytes;
    memcpy(&nameBytes, buffer + nameOffset, sizeof(nameBytes));
    EXPECT_EQ(size, nameOffset + sizeof(USHORT) + nameBytes);

    ExFreePoolWithTag(buffer, kTag);
    ObDereferenceObject(block);
}

TEST_F(Smbios, BufferTooSmallGivesTheSizeAndATooSmallNodeWhenItFits)
{
    PVOID block = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, &block));
    ULONG needed = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, IoWMIQueryAllData(block, &needed, nullptr));

    std::vector<UCHAR> buffer(needed - 1, 0xCC);
    ULONG size = static_cast<ULONG>(sizeof(WNODE_TOO_SMALL));
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, IoWMIQueryAllData(block, &size, buffer.data()));
    EXPECT_EQ(needed, size);
    WNODE_TOO_SMALL small;
    memcpy(&small, buffer.data(), sizeof(small));
    EXPECT_EQ(ULONG(WNODE_FLAG_TOO_SMALL), small.WnodeHeader.Flags);
    EXPECT_EQ(needed, small.SizeNeeded);

    std::fill(buffer.begin(), buffer.end(), 0xCC);
    size = 8;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, IoWMIQueryAllData(block, &size, buffer.data()));
    EXPECT_EQ(needed, size);
    EXPECT_EQ(0xCC, buffer[0]) << "a buffer smaller than a WNODE stays untouched";

    size = needed - 1;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, IoWMIQueryAllData(block, &size, buffer.data()));
    ObDereferenceObject(block);
}

TEST_F(Smbios, BadOpensAndQueriesFailWithTheirStatus)
{
    const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    PVOID block = nullptr;
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, IoWMIOpenBlock(&other, WMIGUID_QUERY, &block));
    EXPECT_EQ(nullptr, block);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIOpenBlock(nullptr, WMIGUID_QUERY, &block));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, nullptr));

    ASSERT_EQ(STATUS_SUCCESS, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_NOTIFICATION, &block));
    ULONG size = 0;
    EXPECT_EQ(STATUS_ACCESS_DENIED, IoWMIQueryAllData(block, &size, nullptr));
    ObDereferenceObject(block);

    int notABlock = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIQueryAllData(&notABlock, &size, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIQueryAllData(nullptr, &size, nullptr));

    ASSERT_EQ(STATUS_SUCCESS, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, &block));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIQueryAllData(block, nullptr, nullptr));
    host::SmbiosClear();
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, IoWMIQueryAllData(block, &size, nullptr)) << "the provider went away";
    ObDereferenceObject(block);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, &block));
}

} // namespace
