// Host MBIM messages and fragments through the real endpoint (OPEN with any MaxControlTransfer,
// commands of any service and CID, continuation fragments, CLOSE, HOST_ERROR, garbage) against a
// scripted radio table whose tokens the input completes now or later with its own RIL errors and
// payloads. Every answer must be a well-formed MBIM message no larger than the max control transfer
// (or its header), and a CLOSE must leave the queue empty once the pending completions have come.
//
// Input: records of an operation byte and its bytes:
//   0: a raw message, u16 length and the bytes;
//   1, 2: complete the oldest or newest pending token with a RIL error byte and a u8-long payload;
//   3: a command of (transaction byte, service byte, CID byte, command type byte, payload length byte)
//      in fragments of the endpoint's max control transfer.
#include "bridge_double.h"
#include "ihvframework.h"
#include "mbim_wire.h"
#include "mbimservices.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::deque<void*> s_tokens;

void RecordToken(int, int, int, uint8_t, void*, uint64_t, void* token)
{
    s_tokens.push_back(token);
}

struct Reader {
    const uint8_t* data;
    size_t size;
    bool Take(size_t n, const uint8_t** out)
    {
        if (size < n)
            return false;
        *out = data;
        data += n;
        size -= n;
        return true;
    }
};

void CheckHostWrites(const MbimServices& endpoint)
{
    for (const coretest::Sent& sent : coretest::TheBridge().toHost) {
        Check(sent.bytes.size() >= MBIM_MESSAGE_HEADER_SIZE);
        Check(mbim_read_u32(sent.bytes.data(), MBIM_MESSAGE_LENGTH) == sent.bytes.size());
        uint32_t type = mbim_read_u32(sent.bytes.data(), MBIM_MESSAGE_TYPE);
        Check(type == MBIM_COMMAND_DONE || type == MBIM_INDICATE_STATUS_MSG);
        // Below its header the host takes the whole answer as one fragment.
        uint32_t header = type == MBIM_COMMAND_DONE ? MBIM_COMMAND_HEADER_SIZE : MBIM_INDICATION_HEADER_SIZE;
        if (endpoint.max_control_transfer >= header)
            Check(sent.bytes.size() <= endpoint.max_control_transfer);
        else
            Check(mbim_read_u32(sent.bytes.data(), MBIM_TOTAL_FRAGMENTS) == 1);
    }
    coretest::TheBridge().toHost.clear();
}

void CompleteToken(void* token, int error, const uint8_t* payload, size_t length)
{
    IhvFramework::emu_RILCore_RequestComplete_toCIDFMK(token, error, length ? payload : nullptr, length);
}

const GUID kServices[] = {mbimwire::kBasicConnect, mbimwire::kBasicConnectExtensions, mbimwire::kFiveGTools,
                          mbimwire::kOemCustom};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    coretest::ResetAndRegisterBridge();
    s_tokens.clear();
    IhvFramework* framework = IhvFramework::GetInstancte();
    RadioCallbacks radio = {};
    radio.SendRequest = RecordToken;
    radio.radio_parameters.numofexecutors = 1;
    framework->s_radio_cb = &radio;
    auto endpoint = std::static_pointer_cast<MbimServices>(framework->CreateServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM));

    Reader in{data, size};
    const uint8_t* op;
    while (in.Take(1, &op)) {
        const uint8_t* bytes;
        if (op[0] % 4 == 0) {
            if (!in.Take(2, &bytes))
                break;
            size_t length = std::min<size_t>(bytes[0] | (bytes[1] << 8), in.size);
            in.Take(length, &bytes);
            std::vector<uint8_t> message(bytes, bytes + length);
            endpoint->MbimIoControl(message.data(), static_cast<uint32_t>(message.size()));
        } else if (op[0] % 4 == 3) {
            if (!in.Take(5, &bytes))
                break;
            std::vector<uint8_t> payload(bytes[4], 0xA5);
            uint32_t fragment = std::max<uint32_t>(endpoint->max_control_transfer, MBIM_COMMAND_HEADER_SIZE + 1);
            for (const std::vector<uint8_t>& f :
                 mbimwire::Command(bytes[0], kServices[bytes[1] % 4], bytes[2], bytes[3] % 3, payload, fragment))
                endpoint->MbimIoControl(f.data(), static_cast<uint32_t>(f.size()));
        } else {
            const uint8_t* head;
            if (!in.Take(2, &head))
                break;
            size_t length = std::min<size_t>(head[1], in.size);
            in.Take(length, &bytes);
            if (!s_tokens.empty()) {
                void* token = op[0] % 4 == 1 ? s_tokens.front() : s_tokens.back();
                if (op[0] % 4 == 1)
                    s_tokens.pop_front();
                else
                    s_tokens.pop_back();
                CompleteToken(token, static_cast<int8_t>(head[0]), bytes, length);
            }
        }
        CheckHostWrites(*endpoint);
    }
    while (!s_tokens.empty()) {
        void* token = s_tokens.front();
        s_tokens.pop_front();
        CompleteToken(token, 0, nullptr, 0);
        CheckHostWrites(*endpoint);
    }
    // A CLOSE with the transaction id of a command still collecting fragments is taken for a bad
    // fragment of it: the second one closes.
    std::vector<uint8_t> close = mbimwire::Message(MBIM_CLOSE_MSG, 0xC105E);
    for (int i = 0; i < 2; i++)
        endpoint->MbimIoControl(close.data(), static_cast<uint32_t>(close.size()));
    Check(endpoint->requests.empty());
    Check(endpoint->opened == 0);

    endpoint.reset();
    IhvFramework::DESTROYInstance();
    coretest::TheBridge().toHost.clear();
    return 0;
}
