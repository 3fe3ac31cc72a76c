// What crosses between the miniport, the user-mode bridge and the translation library: the message
// header in front of every MBIM message, the descriptor of the library's transport callbacks, the
// bridge's event record and the IOCTL codes of that road.
#pragma once

#include <ntdef.h>

#include <stddef.h>

#pragma pack(push, 1)

enum : ULONG {
    TransportRouteModem = 0,
    TransportRouteBridge = 1,
    TransportRouteBoth = 2,
};

// In front of every MBIM message in the bridge IOCTLs and the bridge's queues; the IOCTL inputs carry
// 8 bytes without meaning behind the message.
typedef struct _TransportMessageHeader {
    ULONG Route;    // TransportRoute*
    ULONG SubType;  // the executor
    ULONG Length;   // bytes of the message that follows
    ULONG Reserved;
} TransportMessageHeader;
static_assert(sizeof(TransportMessageHeader) == 16, "16-byte wire header");

// Bytes that follow a message in a bridge element (header, message, trailer).
#define TRANSPORT_MESSAGE_TRAILER 8
#define TRANSPORT_MESSAGE_OVERHEAD (sizeof(TransportMessageHeader) + TRANSPORT_MESSAGE_TRAILER)

// The unit the library's transport callbacks exchange: a header and the message's address.
typedef struct _CIDTransportDescriptor {
    TransportMessageHeader Header;
    UCHAR* Buffer;
} CIDTransportDescriptor;
static_assert(sizeof(CIDTransportDescriptor) == 24, "24-byte descriptor");

// Event kinds of EventControlData.
enum : UCHAR {
    EventKindHostCommand = 4,
    EventKindHostCommandAlsoToModem = 5,
    EventKindModemMessage = 6,
    EventKindModemMessageCopy = 7,
    EventKindModemIoAwake = 10,
    EventKindModemIoAsleep = 11,
};

#define EVENT_CONTROL_DATA_SIZE 260
#define EVENT_CONTROL_TLV_SIZE 7

// The bridge's 260-byte event record: a 32-bit count of the type-length-value bytes that follow (7),
// the event kind, the value length (5), then the value: the queue count, the queued element's length
// big-endian, and a sequence byte written twice. The rest is zero.
typedef struct _EventControlData {
    ULONG evsize;
    UCHAR t;
    UCHAR l;
    UCHAR v[EVENT_CONTROL_DATA_SIZE - 6];
} EventControlData;
static_assert(sizeof(EventControlData) == EVENT_CONTROL_DATA_SIZE, "260-byte event record");
static_assert(offsetof(EventControlData, t) == 4, "event kind at byte 4");

// The announced element length, bytes 7 and 8 big-endian.
inline USHORT EventControlDataLength(const EventControlData* data)
{
    return static_cast<USHORT>((data->v[1] << 8) | data->v[2]);
}

#pragma pack(pop)

// IOCTL codes are built as the Windows device-control layout: device type, access, function, method.
constexpr ULONG WwanControlCode(ULONG deviceType, ULONG function, ULONG method, ULONG access)
{
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

#define WWAN_DEVICE_UNKNOWN 0x22
#define WWAN_METHOD_BUFFERED 0
#define WWAN_ANY_ACCESS 0

// Miniport to bridge.
constexpr ULONG IOCTL_IHV_READ_MESSAGE = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x325, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);
constexpr ULONG IOCTL_IHV_WRITE_VENDOR_MESSAGE = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x326, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);
constexpr ULONG IOCTL_IHV_WRITE_CID_REQUEST = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x327, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);
constexpr ULONG IOCTL_IHV_MODEM_AWAKE = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x329, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);
constexpr ULONG IOCTL_IHV_MODEM_SLEEP = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x32A, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);

// Library to miniport while modem I/O sleeps: a fixed text that the miniport only traces.
constexpr ULONG IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY = WwanControlCode(WWAN_DEVICE_UNKNOWN, 0x603, WWAN_METHOD_BUFFERED, WWAN_ANY_ACCESS);

static_assert(IOCTL_IHV_READ_MESSAGE == 0x220C94 && IOCTL_IHV_WRITE_VENDOR_MESSAGE == 0x220C98 &&
              IOCTL_IHV_WRITE_CID_REQUEST == 0x220C9C && IOCTL_IHV_MODEM_AWAKE == 0x220CA4 &&
              IOCTL_IHV_MODEM_SLEEP == 0x220CA8 && IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY == 0x22180C,
              "bridge and wake codes");
