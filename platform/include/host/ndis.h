// The NDIS binding engine for tests and the simulator: miniport edges, the filter module above each, and
// the operating system's side above that. A filter driver registers with NdisFRegisterFilterDriver; the
// engine attaches its modules, restarts, pauses, detaches them and sends them power events. Requests
// and indications cross a module through the filter's handlers exactly as NDIS routes them.
#pragma once

#include <ndis.h>

#include <string>
#include <string_view>
#include <vector>

namespace host::ndis
{

// The miniport below: the class extension's NDIS side. Requests arrive at up to DISPATCH_LEVEL and must
// not wait; NDIS_STATUS_PENDING means the edge completes the request later with EdgeCompleteOid.
struct Miniport {
    virtual ~Miniport() = default;
    virtual NDIS_STATUS OidRequest(PNDIS_OID_REQUEST request) = 0;
    virtual void CancelOidRequest(PVOID requestId) = 0;
};

// The operating system above: completions of its requests and the indications that reach it.
struct Protocol {
    virtual ~Protocol() = default;
    virtual void OidRequestComplete(PNDIS_OID_REQUEST request, NDIS_STATUS status) = 0;
    virtual void Status(const NDIS_STATUS_INDICATION& indication) = 0;
};

struct EdgeInfo {
    NDIS_MEDIUM medium = NdisMediumWirelessWan;
    std::u16string guidName = u"\\DEVICE\\{6C2E3F1A-90B4-4D57-8E21-3A5C7D9B0F14}";
    std::u16string instanceName = u"Mobile Broadband Adapter";
    std::u16string miniportName = u"\\DEVICE\\{6C2E3F1A-90B4-4D57-8E21-3A5C7D9B0F14}";
    NET_IFINDEX ifIndex = 7;
};

struct Edge;
Edge* EdgeCreate(const EdgeInfo& info, Miniport* miniport, Protocol* protocol);
// Detaches the module above first (pre-detach is not sent: the miniport is going, not the filter).
void EdgeDelete(Edge* edge);

// From the miniport upward, on any thread; the module's handler runs at DISPATCH_LEVEL.
void EdgeCompleteOid(Edge* edge, PNDIS_OID_REQUEST request, NDIS_STATUS status);
void EdgeIndicateStatus(Edge* edge, const NDIS_STATUS_INDICATION& indication);

// From the operating system downward. A module gets one request at a time, later ones wait their turn
// (NDIS_STATUS_PENDING). A status other than pending is the request's result; no completion follows.
NDIS_STATUS OsOidRequest(Edge* edge, PNDIS_OID_REQUEST request);
// A waiting request completes with NDIS_STATUS_REQUEST_ABORTED; one at the module goes to the filter's
// cancel handler (or to the miniport when no module is attached).
void OsCancelOidRequest(Edge* edge, PVOID requestId);

// Binding engine, at PASSIVE_LEVEL, in the states NDIS allows (a detach of a running module pauses it
// first). `service` is the filter driver's ServiceName.
NDIS_STATUS BindAttach(Edge* edge, std::u16string_view service);
NDIS_STATUS BindRestart(Edge* edge);
NDIS_STATUS BindPause(Edge* edge);
void BindDetach(Edge* edge);
NDIS_STATUS BindSetPower(Edge* edge, NDIS_DEVICE_POWER_STATE state);

enum class ModuleState { None, Paused, Running };
ModuleState BindState(Edge* edge);
// The module's FilterModuleGuidName as attach passes it.
std::u16string BindModuleName(Edge* edge);

// Loads the service's filter image (DriverEntry registers it) and attaches it to every edge whose
// medium it accepts; uninstall unloads it, which detaches its modules through the image's unload.
NTSTATUS FilterInstall(std::u16string_view service);
int FilterUninstall(std::u16string_view service);

// What the module passed on through the unregistered data-path routines.
struct DataPathCounts {
    ULONG sends = 0;
    ULONG sendCompletes = 0;
    ULONG receives = 0;
    ULONG returns = 0;
};
DataPathCounts EdgeDataPath(Edge* edge);

} // namespace host::ndis
