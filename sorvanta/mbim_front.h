// What the RIL core uses of the MBIM service front.
#pragma once

#include "mbim_core_misc.h"
#include "ril_api.h"

// Per executor (0 and 1); the core reads only record 0's read slots.
extern CallbackRecord g_CallbackRecord[RIL_EXECUTORS];

extern "C" {
int MBIM_DriverCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                 CIDSpareCallback spare);
int MBIM_MDMVendorCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                    CIDSpareCallback spare);

int MBIM_EventControlInput(int executor, const EventControlData* data);
int MDMVendor_EventControlInput(int executor, const EventControlData* data);
}
int MBIM_SarEventControlInput(int executor, int length, const void* data, uint8_t command_type);

// One host MBIM message or fragment for the endpoint of `executor`.
void MBIM_IOControl(int executor, const void* buffer, int length);

// Transport: to the modem (-1 when parked), to the host (1 when parked).
int RIL_CIDTransportRequest(int executor, uint8_t* message, int size, int transaction_id);
BYTE Mbim_CIDResponseSend(int executor, uint8_t* buffer, int length);
BYTE Mbim_CIDNotificationSend(int executor, uint8_t* buffer, int length);
