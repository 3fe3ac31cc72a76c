// The operating system's mobile-broadband service above a filter module, scripted: it sends OID requests
// with realistic buffers, records every completion and indication, cancels by RequestId and drives
// power and removal through the binding engine.
#pragma once

#include <host/ndis.h>
#include <ndiswwan.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace peers
{

// Information buffers of the requests the service sends.
namespace wwanbuf
{
// AppIdLength may claim more than the id given (the bytes after it are zero).
std::vector<UCHAR> UiccOpenChannel(const std::vector<UCHAR>& appId, ULONG appIdLength, ULONG channelGroup);
std::vector<UCHAR> UiccCloseChannel(ULONG channel, ULONG channelGroup);
// An APDU on the channel: CLA INS P1 P2 Lc and the data.
std::vector<UCHAR> UiccApdu(ULONG channel, const std::vector<UCHAR>& command);
std::vector<UCHAR> SlotMapping(ULONG slot);
std::vector<UCHAR> Connect(ULONG connectionId);
std::vector<UCHAR> SetRadioState(WWAN_RADIO action);
std::vector<UCHAR> DeviceServiceCommand(const GUID& service, ULONG commandId, std::string_view text);
} // namespace wwanbuf

class OsPeer : public host::ndis::Protocol
{
  public:
    struct Completion {
        ULONG64 requestId;
        NDIS_OID oid;
        NDIS_STATUS status;
        ULONG bytesWritten; // query and method
        ULONG bytesRead;    // set and method
        ULONG bytesNeeded;
    };
    struct Indication {
        NDIS_STATUS code;
        ULONG64 requestId;
        NDIS_HANDLE destination;
        std::vector<UCHAR> buffer;
    };

    void Attach(host::ndis::Edge* edge) { edge_ = edge; }

    // Sends a request and returns NDIS's immediate answer; a pending one completes into Completions().
    NDIS_STATUS Send(NDIS_REQUEST_TYPE type, NDIS_OID oid, std::vector<UCHAR> buffer, ULONG64 requestId);
    NDIS_STATUS Set(NDIS_OID oid, std::vector<UCHAR> buffer, ULONG64 requestId)
    {
        return Send(NdisRequestSetInformation, oid, std::move(buffer), requestId);
    }
    NDIS_STATUS Query(NDIS_OID oid, ULONG length, ULONG64 requestId)
    {
        return Send(NdisRequestQueryInformation, oid, std::vector<UCHAR>(length), requestId);
    }
    void Cancel(ULONG64 requestId);
    // The handle the service gives its requests (the DestinationHandle of their answers).
    NDIS_HANDLE RequestHandle() const { return const_cast<OsPeer*>(this); }

    NDIS_STATUS SetPower(NDIS_DEVICE_POWER_STATE state);
    void Remove();

    std::vector<Completion> Completions();
    std::optional<Completion> CompletionOf(ULONG64 requestId);
    std::vector<Indication> Indications();
    // The request as the service keeps it (its buffer holds what came back).
    PNDIS_OID_REQUEST Request(ULONG64 requestId);

    void OidRequestComplete(PNDIS_OID_REQUEST request, NDIS_STATUS status) override;
    void Status(const NDIS_STATUS_INDICATION& indication) override;

  private:
    struct Sent {
        NDIS_OID_REQUEST request{};
        std::vector<UCHAR> buffer;
    };
    host::ndis::Edge* edge_ = nullptr;
    std::mutex lock_;
    std::map<ULONG64, std::unique_ptr<Sent>> sent_;
    std::vector<Completion> completions_;
    std::vector<Indication> indications_;
    Completion Record(PNDIS_OID_REQUEST request, NDIS_STATUS status);
};

} // namespace peers
