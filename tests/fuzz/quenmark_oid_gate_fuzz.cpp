// The filter's gate over arbitrary OS requests in each working mode, and its control device over
// arbitrary IOCTL lengths: nothing is read outside the request's buffer, and every request ends.
//
// Input: [mode] [request type] [OID pick] [IOCTL pick] [input length] [output length] [buffer...]
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <host/host.h>
#include <host/io.h>
#include <host/loader.h>

#include "filter.h"
#include "miniport_edge.h"
#include "os_peer.h"

namespace
{

struct Rig {
    peers::FakeMbimHost mbim;
    peers::OsPeer os;
    std::unique_ptr<peers::MiniportEdge> edge;
    PFILTER_MODULE_CONTEXT module = nullptr;
    HANDLE device = nullptr;
    ULONG64 nextId = 1;
};

void Check(bool condition)
{
    if (!condition)
        abort();
}

Rig* Start()
{
    host::Start(host::Config{});
    host::DriverRegisterBuiltin(u"Quenmark", DriverEntry);
    PDRIVER_OBJECT driver = nullptr;
    Check(host::DriverLoad(u"Quenmark", &driver) == STATUS_SUCCESS);
    auto* rig = new Rig;
    rig->edge = std::make_unique<peers::MiniportEdge>(&rig->mbim, &rig->os);
    rig->os.Attach(rig->edge->Edge());
    peers::MiniportEdge::Rule accepted;
    for (ULONG64 i = 0; i < ModeSwitchOidTableRows; i++)
        rig->edge->Script(ModeSwitchOidTable[i].Oid, accepted);
    Check(host::ndis::BindAttach(rig->edge->Edge(), u"Quenmark") == NDIS_STATUS_SUCCESS);
    rig->module = CurrentModule;
    Check(host::IoOpen(u"\\\\.\\KvWwanFilter", &rig->device) == STATUS_SUCCESS);
    return rig;
}

// The OIDs the gate looks at, and one it does not.
NDIS_OID PickOid(uint8_t pick)
{
    static const NDIS_OID extra[] = {OID_WWAN_DEVICE_SERVICE_COMMAND, OID_WWAN_DEVICE_CAPS_EX, OID_WWAN_DEVICE_CAPS,
                                     OID_WWAN_SYS_SLOTMAPPINGS, OID_GEN_LINK_SPEED};
    ULONG rows = ULONG(ModeSwitchOidTableRows);
    return pick < rows ? ModeSwitchOidTable[pick].Oid : extra[(pick - rows) % std::size(extra)];
}

void SetMode(PFILTER_MODULE_CONTEXT module, uint8_t mode)
{
    module->PocMode = mode % 5 == 0;
    module->SyncInProgress = mode % 5 == 1;
    module->ModeFlags = mode % 5 == 2 ? MODE_FLAG_PCIOT : MODE_FLAGS_TARGET;
    module->WorkingMode = mode % 5 == 3 ? WORKING_MODE_RESTRICTED : WORKING_MODE_NORMAL;
    module->SlotIndex = mode & 0x10 ? 1 : 2;
    module->LockGranted = mode & 0x20 ? 1 : 0;
}

// Whatever the gate held is ended, as a worker would.
void Release(PFILTER_MODULE_CONTEXT module)
{
    for (auto [lock, slot] : {std::pair{&module->ParkedLock, &module->ParkedRequest},
                              std::pair{&module->CacheQueryLock, &module->ParkedCacheQuery}}) {
        PNDIS_OID_REQUEST held = FilterTakeParked(lock, slot, nullptr, FALSE);
        if (held != nullptr)
            NdisFOidRequestComplete(module->FilterHandle, held, STATUS_DEVICE_BUSY);
    }
    ClearPendingRadioState(module, OID_WWAN_RADIO_STATE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Rig* rig = Start();
    if (size < 6)
        return 0;
    static const NDIS_REQUEST_TYPE types[] = {NdisRequestQueryInformation, NdisRequestSetInformation,
                                              NdisRequestQueryStatistics, NdisRequestMethod};
    SetMode(rig->module, data[0]);
    NDIS_REQUEST_TYPE type = types[data[1] % std::size(types)];
    NDIS_OID oid = PickOid(data[2]);
    // An exact copy, so a read past the request's buffer is a read past the allocation.
    std::vector<UCHAR> buffer(data + 6, data + size);
    rig->os.Send(type, oid, buffer, rig->nextId++);
    Release(rig->module);

    static const ULONG codes[] = {IOCTL_FILTER_RESTART_INSTANCE, IOCTL_FILTER_ENUM_INSTANCES,
                                  IOCTL_FILTER_GET_WORKING_MODE, IOCTL_FILTER_WAIT_MODE_CHANGE, 0x170010};
    ULONG code = codes[data[3] % std::size(codes)];
    size_t inputLength = std::min<size_t>(data[4], buffer.size());
    size_t outputLength = data[5];
    // A wait with room for the mode would wait for a change: it is sent with too little room instead.
    if (code == IOCTL_FILTER_WAIT_MODE_CHANGE)
        outputLength %= sizeof(ULONG);
    host::IoDeviceControlRaw(rig->device, code, buffer.data(), inputLength, outputLength);
    host::Quiesce();
    return 0;
}
