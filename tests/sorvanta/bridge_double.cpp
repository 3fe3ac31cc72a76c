#include "bridge_double.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string.h>

namespace coretest {
namespace {

std::mutex s_lock;

constexpr int kNothingQueued = static_cast<int>(0xC0000001); // STATUS_UNSUCCESSFUL

std::vector<uint8_t> Element(const std::vector<uint8_t>& message, ULONG route, ULONG subType)
{
    std::vector<uint8_t> element(TRANSPORT_MESSAGE_OVERHEAD + message.size(), 0);
    TransportMessageHeader header = {route, subType, static_cast<ULONG>(message.size()), 0};
    memcpy(element.data(), &header, sizeof(header));
    if (!message.empty())
        memcpy(element.data() + sizeof(header), message.data(), message.size());
    return element;
}

// Queues an element and builds the record that announces it.
EventControlData Queue(std::deque<std::vector<uint8_t>>& queue, uint16_t& sequence,
                       const std::vector<uint8_t>& message, ULONG route, ULONG subType, UCHAR kind)
{
    std::lock_guard<std::mutex> guard(s_lock);
    sequence++;
    queue.push_back(Element(message, route, subType));
    return EventRecord(kind, static_cast<USHORT>(queue.back().size()), static_cast<UCHAR>(queue.size()),
                       static_cast<UCHAR>(sequence));
}

// The bridge's copy to the library: header fields from the element, the message only when it fits the
// bound, else the bound's bytes zeroed.
int Take(std::deque<std::vector<uint8_t>>& queue, int context, CIDTransportDescriptor* descriptor,
         int* length)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (descriptor == nullptr || length == nullptr)
        return kNothingQueued;
    TheBridge().reads.push_back({context, descriptor->Header.Route, descriptor->Header.Length});
    if (queue.empty()) {
        *length = 0;
        return kNothingQueued;
    }
    std::vector<uint8_t> element = std::move(queue.front());
    queue.pop_front();
    TransportMessageHeader header;
    memcpy(&header, element.data(), sizeof(header));
    ULONG bound = descriptor->Header.Length;
    descriptor->Header.Route = header.Route;
    descriptor->Header.SubType = header.SubType;
    descriptor->Header.Length = header.Length;
    if (header.Length != 0 && descriptor->Buffer != nullptr) {
        if (header.Length <= bound)
            memcpy(descriptor->Buffer, element.data() + sizeof(header), header.Length);
        else
            memset(descriptor->Buffer, 0, bound);
    }
    *length = static_cast<int>(element.size());
    return 0;
}

BYTE Record(std::vector<Sent>& sent, int context, CIDTransportDescriptor* d, int length)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (d == nullptr || length == 0)
        return 0;
    sent.push_back({context, d->Header.Route, d->Header.SubType, d->Header.Length,
                    std::vector<uint8_t>(d->Buffer, d->Buffer + d->Header.Length), length});
    bool refused = &sent == &TheBridge().toHost && static_cast<int>(sent.size()) - 1 == TheBridge().refuseHostWrite;
    return TheBridge().refuse || refused ? 0 : 1;
}

} // namespace

Bridge& TheBridge()
{
    static Bridge bridge;
    return bridge;
}

EventControlData EventRecord(UCHAR kind, USHORT length, UCHAR count, UCHAR sequence)
{
    EventControlData data = {};
    data.evsize = EVENT_CONTROL_TLV_SIZE;
    data.t = kind;
    data.l = 5;
    data.v[0] = count;
    data.v[1] = static_cast<UCHAR>(length >> 8);
    data.v[2] = static_cast<UCHAR>(length);
    data.v[3] = sequence;
    data.v[4] = sequence;
    return data;
}

int HostCommand(const std::vector<uint8_t>& message, ULONG route, ULONG subType)
{
    EventControlData record =
        Queue(TheBridge().hostRequests, TheBridge().hostSequence, message, route, subType,
              route == TransportRouteBoth ? EventKindHostCommandAlsoToModem : EventKindHostCommand);
    return MBIM_EventControlInput(static_cast<int>(subType), &record);
}

int ModemMessage(const std::vector<uint8_t>& message, ULONG route, ULONG subType)
{
    EventControlData record =
        Queue(TheBridge().vendorMessages, TheBridge().modemSequence, message, route, subType,
              route == TransportRouteBoth ? EventKindModemMessageCopy : EventKindModemMessage);
    return MDMVendor_EventControlInput(static_cast<int>(subType), &record);
}

int PowerEvent(bool awake)
{
    EventControlData record = EventRecord(awake ? EventKindModemIoAwake : EventKindModemIoAsleep);
    return MDMVendor_EventControlInput(1, &record);
}

int ReadHostRequest(int context, CIDTransportDescriptor* descriptor, int* length)
{
    return Take(TheBridge().hostRequests, context, descriptor, length);
}

int ReadVendorMessage(int context, CIDTransportDescriptor* descriptor, int* length)
{
    return Take(TheBridge().vendorMessages, context, descriptor, length);
}

BYTE WriteToModem(int context, CIDTransportDescriptor* descriptor, int length)
{
    return Record(TheBridge().toModem, context, descriptor, length);
}

BYTE WriteToHost(int context, CIDTransportDescriptor* descriptor, int length)
{
    return Record(TheBridge().toHost, context, descriptor, length);
}

int ReadNothing(int, CIDTransportDescriptor*, int* length)
{
    if (length != nullptr)
        *length = 0;
    return kNothingQueued;
}

void Spare() {}

void ResetAndRegisterBridge()
{
    {
        std::lock_guard<std::mutex> guard(s_lock);
        TheBridge() = Bridge();
    }
    ASSERT_EQ(MBIM_DriverCallbacksRegister(0, ReadHostRequest, WriteToHost, Spare), 0);
    ASSERT_EQ(MBIM_MDMVendorCallbacksRegister(0, ReadVendorMessage, WriteToModem, Spare), 0);
}

std::vector<uint8_t> MbimMessage(uint32_t type, uint32_t length, uint32_t transaction_id)
{
    std::vector<uint8_t> message(length, 0);
    uint32_t header[3] = {type, length, transaction_id};
    memcpy(message.data(), header, length < sizeof(header) ? length : sizeof(header));
    return message;
}

} // namespace coretest
