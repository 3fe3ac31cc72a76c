// Host MBIM messages and fragments through the front's request classes as the endpoint feeds them: a
// new request for a new transaction id, CopyInBuffer for a command still collecting fragments. Each
// complete request runs its translation step (with the front double's stand-ins) and then sends an
// answer and an indication of a fuzzed payload length at a fuzzed max control transfer, whose fragments
// must rejoin to the payload without breaking a header rule.
//
// Input: max control transfer (u16), answer payload length (u16), then records of a u16 length and
// that many message bytes.
#include "bridge_double.h"
#include "front_double.h"
#include "mbim_wire.h"
#include "mbimmessages.h"
#include "mbimservices.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

struct Reader {
    const uint8_t* data;
    size_t size;
    bool U16(uint32_t& value)
    {
        if (size < 2)
            return false;
        value = data[0] | (data[1] << 8);
        data += 2;
        size -= 2;
        return true;
    }
};

std::vector<std::vector<uint8_t>> TakeHostWrites()
{
    std::vector<std::vector<uint8_t>> writes;
    for (const coretest::Sent& sent : coretest::TheBridge().toHost)
        writes.push_back(sent.bytes);
    coretest::TheBridge().toHost.clear();
    return writes;
}

std::vector<uint8_t> Pattern(uint32_t length)
{
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>(i * 13 + 1);
    return bytes;
}

// A complete request: its step, then an answer (commands) and an indication of `payload` bytes.
void Complete(MbimServices& endpoint, const std::shared_ptr<MbimMessageRequest>& request, uint32_t payload)
{
    request->OnRequest();
    TakeHostWrites();
    std::vector<uint8_t> bytes = Pattern(payload);
    if (auto command = std::dynamic_pointer_cast<MbimCommandRequest>(request)) {
        Check(command->GetTransactionInLen() == mbim_read_u32(command->GetInBuffer() - MBIM_COMMAND_HEADER_SIZE,
                                                              MBIM_COMMAND_INFORMATION_LENGTH));
        command->AllocateOutBuffer(payload);
        command->CopyOutBuffer(bytes.data(), payload);
        Check(command->SendFinalResponse() == 1);
        mbimwire::Answer answer = mbimwire::Join(TakeHostWrites(), MBIM_COMMAND_HEADER_SIZE, endpoint.max_control_transfer);
        Check(answer.error.empty() && answer.payload == bytes && answer.type == MBIM_COMMAND_DONE &&
              answer.transaction_id == command->GetTransactionId() && answer.cid == command->cid);
        GUID service = mbim_uuid_from_wire(answer.service);
        MbimIndicationStatus indication(&endpoint, service, bytes.data(), bytes.size(), command->cid);
        Check(indication.TranslateNotification() == 0 && indication.SendFinalResponse() == 1);
        answer = mbimwire::Join(TakeHostWrites(), MBIM_INDICATION_HEADER_SIZE, endpoint.max_control_transfer);
        Check(answer.error.empty() && answer.payload == bytes && answer.transaction_id == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    uint32_t max_transfer, payload;
    if (!in.U16(max_transfer) || !in.U16(payload))
        return 0;
    frontdouble::Reset();
    coretest::TheBridge() = coretest::Bridge();
    MBIM_DriverCallbacksRegister(0, coretest::ReadHostRequest, coretest::WriteToHost, coretest::Spare);

    MbimServices endpoint(1);
    endpoint.max_control_transfer = max_transfer;
    std::vector<std::shared_ptr<MbimCommandRequest>> collecting;
    uint32_t length;
    while (in.U16(length)) {
        length = std::min<uint32_t>(length, static_cast<uint32_t>(in.size));
        std::vector<uint8_t> message(in.data, in.data + length); // exactly its bytes, for ASan
        in.data += length;
        in.size -= length;
        const uint32_t bytes = static_cast<uint32_t>(message.size());

        std::shared_ptr<MbimMessageRequest> request;
        if (bytes >= MBIM_MESSAGE_HEADER_SIZE) {
            uint32_t transaction_id = mbim_read_u32(message.data(), MBIM_TRANSACTION_ID);
            for (auto it = collecting.begin(); it != collecting.end(); ++it) {
                if ((*it)->GetTransactionId() == transaction_id) {
                    request = *it;
                    collecting.erase(it);
                    break;
                }
            }
        }
        if (!request) {
            request = MbimMessageRequest::Create(&endpoint, message.empty() ? nullptr : message.data(), bytes);
            if (!request)
                continue;
            endpoint.PushRequest(request);
        }
        int result = request->CopyInBuffer(message.data(), bytes);
        auto command = std::dynamic_pointer_cast<MbimCommandRequest>(request);
        if (command && result == 1)
            collecting.push_back(command);
        else if (command && result < 0)
            endpoint.PopRequest(request.get());
        else
            Complete(endpoint, request, payload);
    }
    return 0;
}
