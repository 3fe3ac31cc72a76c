// What the mobile-broadband miniport edge needs of the operating system's MBIM host: commands to the
// device by transaction id, and the device's answers and indications back. The class extension's MBIM
// host serves several clients over one transaction-id sequence; FakeMbimHost stands in for it in unit
// tests, answering through a function the test gives it.
#pragma once

#include <ntdef.h>

#include <functional>
#include <mutex>
#include <vector>

namespace peers
{

// A service id in MBIM byte order (Data1 to Data3 big-endian), as a command carries it.
struct MbimServiceId {
    UCHAR bytes[16];
    bool operator==(const MbimServiceId&) const = default;
};
MbimServiceId MbimServiceIdOf(const GUID& guid);
GUID GuidOfMbimServiceId(const MbimServiceId& id);

enum MbimCommandType : ULONG { MbimQuery = 0, MbimSet = 1 };

struct MbimCommand {
    ULONG transactionId = 0;
    MbimServiceId service{};
    ULONG cid = 0;
    MbimCommandType type = MbimQuery;
    std::vector<UCHAR> data;
};

// The client side: answers by transaction id and the device's unsolicited indications.
struct MbimClient {
    virtual ~MbimClient() = default;
    virtual void CommandDone(ULONG transactionId, const MbimServiceId& service, ULONG cid, ULONG status,
                             const std::vector<UCHAR>& data) = 0;
    virtual void IndicateStatus(const MbimServiceId& service, ULONG cid, const std::vector<UCHAR>& data) = 0;
};

struct MbimHost {
    virtual ~MbimHost() = default;
    // The next id of the host's one sequence.
    virtual ULONG NextTransactionId() = 0;
    // False when the host cannot take the command (no open session). Never waits.
    virtual bool SendCommand(const MbimCommand& command) = 0;
    virtual void Subscribe(MbimClient* client) = 0;
    virtual void Unsubscribe(MbimClient* client) = 0;
};

// MBIM status codes the edge and the tests name.
inline constexpr ULONG kMbimStatusSuccess = 0;
inline constexpr ULONG kMbimStatusBusy = 1;
inline constexpr ULONG kMbimStatusFailure = 2;
inline constexpr ULONG kMbimStatusNoDeviceSupport = 9;

// The basic connect service and its radio-state command.
inline constexpr GUID kMbimBasicConnect = {0xA289CC33, 0xBCBB, 0x8B4F, {0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF}};
inline constexpr ULONG kMbimCidRadioState = 3;

class FakeMbimHost : public MbimHost
{
  public:
    // Called for each command taken, on the sender's thread (it may answer at once).
    std::function<void(const MbimCommand&)> answer;
    bool sessionOpen = true;

    ULONG NextTransactionId() override;
    bool SendCommand(const MbimCommand& command) override;
    void Subscribe(MbimClient* client) override;
    void Unsubscribe(MbimClient* client) override;

    // The device's side.
    void Done(const MbimCommand& command, ULONG status, const std::vector<UCHAR>& data);
    void Indicate(const GUID& service, ULONG cid, const std::vector<UCHAR>& data);
    std::vector<MbimCommand> Commands();

  private:
    std::mutex lock_;
    ULONG next_ = 1;
    std::vector<MbimCommand> commands_;
    std::vector<MbimClient*> clients_;
    std::vector<MbimClient*> Clients();
};

} // namespace peers
