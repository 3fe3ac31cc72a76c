// Test double of the bridge driver's side of the library: its six callbacks over element queues (a
// 16-byte header, the message and 8 trailing bytes per element), the event records it signals with
// (kinds, element lengths, queue counts and sequence numbers), and the power records of kinds 10 and
// 11 on executor 1. Reads fill the descriptor with Length = the message length, copy the message only
// when it fits the bound the library offers, and return the element length; writes record what they
// were given.
#pragma once

#include "mbim_front.h"

#include <deque>
#include <vector>

namespace coretest {

// One write of the library, as the bridge saw it.
struct Sent {
    int context;
    ULONG route, subType, length;
    std::vector<uint8_t> bytes;
    int lengthArgument;
};

// One read of the library: the context and the descriptor's Route and Length it offered.
struct Read {
    int context;
    ULONG route;
    ULONG offered;
};

struct Bridge {
    std::vector<Sent> toModem;
    std::vector<Sent> toHost;
    bool refuse = false;                           // the write callbacks turn everything down
    int refuseHostWrite = -1;                      // the host writer turns down its write of this index
    std::deque<std::vector<uint8_t>> hostRequests; // elements
    std::deque<std::vector<uint8_t>> vendorMessages;
    std::vector<Read> reads;
    uint16_t hostSequence = 0;
    uint16_t modemSequence = 0;
};

// The bridge's state; read it while the library's worker is idle.
Bridge& TheBridge();

// An event record of `kind` as the bridge builds it.
EventControlData EventRecord(UCHAR kind, USHORT length = 0, UCHAR count = 0, UCHAR sequence = 0);

// A host command as the bridge's write-CID-request path queues and signals it (kind 4, or 5 for
// route 2) through the host-side export; the export's result.
int HostCommand(const std::vector<uint8_t>& message, ULONG route = TransportRouteBridge, ULONG subType = 0);
// A modem message as the write-vendor-message path queues and signals it (kind 6, or 7 for route 2)
// through the modem-side export.
int ModemMessage(const std::vector<uint8_t>& message, ULONG route = TransportRouteBridge, ULONG subType = 0);
// The record of a power IOCTL (awake: kind 10, else 11), sequence 0, executor 1, modem-side export.
int PowerEvent(bool awake);

int ReadHostRequest(int context, CIDTransportDescriptor* descriptor, int* length);
int ReadVendorMessage(int context, CIDTransportDescriptor* descriptor, int* length);
BYTE WriteToModem(int context, CIDTransportDescriptor* descriptor, int length);
BYTE WriteToHost(int context, CIDTransportDescriptor* descriptor, int length);
int ReadNothing(int context, CIDTransportDescriptor* descriptor, int* length);
void Spare();

// Forgets everything and registers the bridge's two triples on executor 0.
void ResetAndRegisterBridge();

// An MBIM message of `type` and `length` bytes (MessageType, MessageLength, TransactionId).
std::vector<uint8_t> MbimMessage(uint32_t type, uint32_t length, uint32_t transaction_id = 1);

} // namespace coretest
