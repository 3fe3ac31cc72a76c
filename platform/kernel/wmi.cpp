// The kernel's WMI data-block interfaces. The one block served is the raw SMBIOS tables, answered as a
// WNODE_ALL_DATA with one instance of variable size (its offset and length in
// OffsetInstanceDataAndLength[0]) and a static instance name.
#include "wmi_blocks.h"

#include <host/object.h>
#include <wdm.h>
#include <wmiguid.h>
#include <wmistr.h>

#include <vector>

namespace host::wmi {
namespace {

constexpr char16_t kInstanceName[] = u"SMBiosData_0";
constexpr ULONG kSmbiosInstanceHeader = 8; // calling method, major, minor, DMI revision, size

struct Block : Object {
    Block(const GUID& guid, ULONG access) : Object(ObjectKind::WmiBlock), guid(guid), access(access) {}
    const GUID guid;
    const ULONG access;
};

Block* BlockFromObject(PVOID object)
{
    Object* found = object != nullptr ? ObjectFromBody(object) : nullptr;
    return found != nullptr && found->kind == ObjectKind::WmiBlock ? static_cast<Block*>(found) : nullptr;
}

template <typename T> void Put(std::vector<UCHAR>& buffer, size_t offset, T value)
{
    memcpy(buffer.data() + offset, &value, sizeof(value));
}

std::vector<UCHAR> AllData(const GUID& guid, const SmbiosTables& tables)
{
    const auto dataOffset = static_cast<ULONG>(
        ALIGN_UP_BY(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + sizeof(OFFSETINSTANCEDATAANDLENGTH), 8));
    const auto dataLength = static_cast<ULONG>(kSmbiosInstanceHeader + tables.table.size());
    const auto namesOffset = static_cast<ULONG>(ALIGN_UP_BY(dataOffset + dataLength, sizeof(ULONG)));
    const ULONG nameOffset = namesOffset + sizeof(ULONG);
    const auto nameBytes = static_cast<USHORT>(sizeof(kInstanceName) - sizeof(char16_t));
    const ULONG total = nameOffset + sizeof(USHORT) + nameBytes;

    std::vector<UCHAR> buffer(total, 0);
    WNODE_ALL_DATA node{};
    node.WnodeHeader.BufferSize = total;
    node.WnodeHeader.Version = 1;
    KeQuerySystemTime(&node.WnodeHeader.TimeStamp);
    node.WnodeHeader.Guid = guid;
    node.WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    node.DataBlockOffset = dataOffset;
    node.InstanceCount = 1;
    node.OffsetInstanceNameOffsets = namesOffset;
    node.OffsetInstanceDataAndLength[0].OffsetInstanceData = dataOffset;
    node.OffsetInstanceDataAndLength[0].LengthInstanceData = dataLength;
    memcpy(buffer.data(), &node, FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                     sizeof(OFFSETINSTANCEDATAANDLENGTH));

    Put<UCHAR>(buffer, dataOffset, tables.used20CallingMethod ? 1 : 0);
    Put<UCHAR>(buffer, dataOffset + 1, tables.majorVersion);
    Put<UCHAR>(buffer, dataOffset + 2, tables.minorVersion);
    Put<UCHAR>(buffer, dataOffset + 3, tables.dmiRevision);
    Put<ULONG>(buffer, dataOffset + 4, static_cast<ULONG>(tables.table.size()));
    if (!tables.table.empty())
        memcpy(buffer.data() + dataOffset + kSmbiosInstanceHeader, tables.table.data(), tables.table.size());

    Put<ULONG>(buffer, namesOffset, nameOffset);
    Put<USHORT>(buffer, nameOffset, nameBytes);
    memcpy(buffer.data() + nameOffset + sizeof(USHORT), kInstanceName, nameBytes);
    return buffer;
}

} // namespace
} // namespace host::wmi

using namespace host::wmi;

extern "C" {

NTSTATUS IoWMIOpenBlock(LPCGUID Guid, ULONG DesiredAccess, PVOID* DataBlockObject)
{
    PAGED_CODE();
    if (Guid == nullptr || DataBlockObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    *DataBlockObject = nullptr;
    if (!IsEqualGUID(*Guid, MSSmBios_RawSMBiosTables_GUID) || !SmbiosSnapshot())
        return STATUS_WMI_GUID_NOT_FOUND;
    auto* block = new Block(*Guid, DesiredAccess);
    *DataBlockObject = block->body;
    return STATUS_SUCCESS;
}

NTSTATUS IoWMIQueryAllData(PVOID DataBlockObject, PULONG InOutBufferSize, PVOID OutBuffer)
{
    PAGED_CODE();
    Block* block = BlockFromObject(DataBlockObject);
    if (block == nullptr || InOutBufferSize == nullptr)
        return STATUS_INVALID_PARAMETER;
    if ((block->access & WMIGUID_QUERY) == 0)
        return STATUS_ACCESS_DENIED;
    std::optional<host::SmbiosTables> tables = SmbiosSnapshot();
    if (!tables)
        return STATUS_WMI_GUID_NOT_FOUND;
    std::vector<UCHAR> data = AllData(block->guid, *tables);
    const auto needed = static_cast<ULONG>(data.size());
    if (OutBuffer == nullptr || *InOutBufferSize < needed) {
        if (OutBuffer != nullptr && *InOutBufferSize >= sizeof(WNODE_TOO_SMALL)) {
            WNODE_TOO_SMALL small{};
            small.WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            small.WnodeHeader.Guid = block->guid;
            small.WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
            small.SizeNeeded = needed;
            memcpy(OutBuffer, &small, sizeof(small));
        }
        *InOutBufferSize = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(OutBuffer, data.data(), needed);
    *InOutBufferSize = needed;
    return STATUS_SUCCESS;
}

} // extern "C"
