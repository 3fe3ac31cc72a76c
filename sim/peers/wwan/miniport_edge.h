// The mobile-broadband miniport below the filter: the class extension's NDIS side. Two OIDs are
// translated to MBIM through the OS-side MBIM host, whoever sends them (the filter's own requests and the
// OS requests it forwards): OID_WWAN_DEVICE_SERVICE_COMMAND and the OID_WWAN_RADIO_STATE set, with their
// answers and the device's indications coming back as status indications. Every other OID goes to a
// scripted responder; without a rule it is not supported.
#pragma once

#include "mbim_link.h"

#include <host/executive.h>
#include <host/ndis.h>
#include <ndiswwan.h>

#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace peers
{

// One table from MBIM status codes to WWAN status values.
WWAN_STATUS WwanStatusOfMbim(ULONG mbimStatus);

class MiniportEdge : public host::ndis::Miniport, public MbimClient
{
  public:
    struct Rule {
        enum Kind {
            Complete,           // at once with `status` and `bytes` as the count
            IndicationRequired, // at once with NDIS_STATUS_INDICATION_REQUIRED, then `indication` with the RequestId
            Pend,               // held until CompletePending
            Never,              // held until cancelled
        } kind = Complete;
        NDIS_STATUS status = NDIS_STATUS_SUCCESS;
        ULONG bytes = 0;
        NDIS_STATUS indicationCode = 0;
        std::vector<UCHAR> indication;
        std::vector<UCHAR> answer; // written into the request's buffer (as far as it goes)
    };
    struct Received {
        NDIS_OID oid;
        NDIS_REQUEST_TYPE type;
        ULONG64 requestId;
        std::vector<UCHAR> buffer;
    };

    // The edge (medium NdisMediumWirelessWan unless `info` says otherwise) over `host`.
    MiniportEdge(MbimHost* host, host::ndis::Protocol* protocol, host::ndis::EdgeInfo info = {});
    ~MiniportEdge() override;
    host::ndis::Edge* Edge() const { return edge_; }

    void Script(NDIS_OID oid, Rule rule);
    // Completes a held request (any thread).
    bool CompletePending(ULONG64 requestId, NDIS_STATUS status, ULONG bytes = 0, const std::vector<UCHAR>& answer = {});
    // An unsolicited (or scripted) indication up the stack.
    void Indicate(NDIS_STATUS code, const std::vector<UCHAR>& buffer, ULONG64 requestId = 0,
                  NDIS_HANDLE destination = nullptr);

    std::vector<Received> Requests();
    std::vector<ULONG64> Cancels();
    size_t PendingCount();

    NDIS_STATUS OidRequest(PNDIS_OID_REQUEST request) override;
    void CancelOidRequest(PVOID requestId) override;
    void CommandDone(ULONG transactionId, const MbimServiceId& service, ULONG cid, ULONG status,
                     const std::vector<UCHAR>& data) override;
    void IndicateStatus(const MbimServiceId& service, ULONG cid, const std::vector<UCHAR>& data) override;

  private:
    enum class Translated { DeviceService, RadioState };
    struct Outstanding {
        Translated kind;
        ULONG64 requestId;
        NDIS_HANDLE requestHandle;
    };
    struct Deferred {
        host::WorkItem item{};
        MiniportEdge* edge = nullptr;
        NDIS_STATUS code = 0;
        std::vector<UCHAR> buffer;
        ULONG64 requestId = 0;
        NDIS_HANDLE destination = nullptr;
    };

    NDIS_STATUS TranslateDeviceService(PNDIS_OID_REQUEST request);
    NDIS_STATUS TranslateRadioState(PNDIS_OID_REQUEST request);
    NDIS_STATUS Scripted(PNDIS_OID_REQUEST request);
    static void DeliverDeferred(host::WorkItem* item);
    static void Answer(PNDIS_OID_REQUEST request, ULONG bytes, const std::vector<UCHAR>& answer);

    MbimHost* host_;
    host::ndis::Edge* edge_ = nullptr;
    std::mutex lock_;
    std::map<NDIS_OID, Rule> rules_;
    std::map<ULONG, Outstanding> outstanding_; // by transaction id
    std::map<ULONG64, PNDIS_OID_REQUEST> pending_;
    std::vector<Received> received_;
    std::vector<ULONG64> cancels_;
};

} // namespace peers
