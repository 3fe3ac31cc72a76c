// The operating system's side of mobile broadband toward a bound device: what the class extension's
// MBIM host does above the miniport. A test or the simulator attaches it to a device instance (nothing
// attaches by itself); it opens the MBIM function and serves several clients over one transaction-id
// sequence:
// - the in-process client: this object's own calls (Command, indications), whose ids are the host's;
// - raw clients (the simulator's pseudo-terminal): whole fragments written and read one per call. A raw
//   client's OPEN and CLOSE are answered by the host itself (OPEN_DONE 0 while the function is open,
//   CLOSE_DONE 0), so that no client closes the function under the others; its MaxControlTransfer (at
//   most the device's) sizes the fragments it reads. A write that is malformed or longer than that size
//   is dropped and counted, and the channel goes on with the next write;
// - later, the filter's NDIS edge, as one more client.
// Every fragment's transaction id is mapped from the client's to the host's on the way down and back on
// the way up; indications go to every client.
//
// Every wait goes through the host clock. Call from registered threads at PASSIVE_LEVEL.
#pragma once

#include "sim/mbim/mbim.h"

#include <wdm.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::peers
{

class MbimHost
{
  public:
    struct Options {
        ULONG openRetries = 3;                        // sends of the OPEN retried, 1 s apart
        LONGLONG openTimeout = 10 * 10'000'000LL;     // 100 ns units
        LONGLONG commandTimeout = 10 * 10'000'000LL;  // 100 ns units
        bool bringUp = false;                         // run the bring-up queries after the OPEN
        uint32_t firstTransactionId = 1;
    };

    struct Answer {
        // STATUS_SUCCESS with the device's answer; otherwise why there is none: the send's failure,
        // STATUS_IO_TIMEOUT, STATUS_CANCELLED (CLOSE) or STATUS_DEVICE_REMOVED.
        NTSTATUS status = STATUS_SUCCESS;
        uint32_t type = 0;       // kCommandDone or kFunctionError
        uint32_t mbimStatus = 0; // the COMMAND_DONE's Status, or the FUNCTION_ERROR's error
        mbim::Bytes information;
    };

    struct Counters {
        ULONG64 unknownAnswers = 0; // answers whose transaction id matched nothing outstanding
        ULONG64 protocolErrors = 0; // malformed fragments, discarded reassemblies, refused raw writes
        ULONG64 openRetries = 0;
        ULONG64 timeouts = 0;
    };

    explicit MbimHost(std::u16string instanceId);
    MbimHost(std::u16string instanceId, Options options);
    // Detaches.
    ~MbimHost();
    MbimHost(const MbimHost&) = delete;
    MbimHost& operator=(const MbimHost&) = delete;

    // Connects to the bound device of the instance and opens its MBIM function (then the bring-up when
    // asked): STATUS_NO_SUCH_DEVICE, STATUS_INVALID_DEVICE_STATE (no MBIM parameters), the OPEN's send
    // failure, STATUS_IO_TIMEOUT, or STATUS_UNSUCCESSFUL for an OPEN_DONE with a failure status.
    NTSTATUS Attach();
    // CLOSE; what is outstanding fails with STATUS_CANCELLED. The device stays attached.
    NTSTATUS Close();
    // Leaves the device (without a CLOSE); what is outstanding fails with STATUS_CANCELLED.
    void Detach();
    bool IsOpen() const;

    // One command, fragmented at the device's MaxControlTransfer; each send at `irql`.
    Answer Command(const mbim::Uuid& service, uint32_t cid, uint32_t commandType, mbim::View information,
                   KIRQL irql = PASSIVE_LEVEL);
    // The same in two steps, so that a test can keep a command outstanding.
    class Pending;
    std::shared_ptr<Pending> Begin(const mbim::Uuid& service, uint32_t cid, uint32_t commandType,
                                   mbim::View information, KIRQL irql = PASSIVE_LEVEL);
    Answer Wait(const std::shared_ptr<Pending>& pending);

    // The basic connect CONNECT set (activation or deactivation), with the answer's ActivationState.
    // A session above 0 gets its adapter before its first activation (a failure to create it is the
    // answer's status, and nothing is sent) and loses it once the answer says deactivated.
    struct ConnectResult {
        Answer answer;
        uint32_t activationState = 0;
    };
    ConnectResult Connect(uint32_t sessionId, std::u16string_view accessString, uint32_t ipType);
    ConnectResult Disconnect(uint32_t sessionId);

    // The answers of the bring-up queries, in order.
    const std::vector<Answer>& BringUpAnswers() const;

    // The next indication (INDICATE_STATUS), waiting up to `timeout`.
    std::optional<mbim::Message> WaitIndication(LONGLONG timeout);

    // Device-service session data: the completion status.
    NTSTATUS SendSessionData(ULONG sessionId, mbim::View data);

    // The transaction id of the next message; 0 is never used.
    void SetNextTransactionId(uint32_t id);
    Counters Query() const;

    // A client of whole fragments.
    class RawClient
    {
      public:
        ~RawClient();
        RawClient(const RawClient&) = delete;
        RawClient& operator=(const RawClient&) = delete;
        // One fragment; false when it was dropped (counted as a protocol error).
        bool Write(mbim::View fragment);
        // The next fragment for the client, waiting up to `timeout`.
        std::optional<mbim::Bytes> Read(LONGLONG timeout);

        struct State;

      private:
        friend class MbimHost;
        explicit RawClient(std::shared_ptr<State> state);
        std::shared_ptr<State> state_;
    };
    std::unique_ptr<RawClient> OpenRawClient();

    struct State;

  private:
    ConnectResult SetConnect(const mbim::ConnectSet& set);
    std::shared_ptr<State> state_;
};

} // namespace sim::peers
