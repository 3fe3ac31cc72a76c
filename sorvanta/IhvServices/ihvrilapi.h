// The library's face to the bridge driver: version, modem context handles, callback registration,
// session open and close, and the library entry.
#pragma once

#include "mbim_front.h"

#include <windows.h>

#include <stdint.h>

class IhvFramework;

struct RilApiState {
    uint32_t VersionNegotiated;
    uint32_t ModemBitmap; // bit n: modem context handle n is in use
    IhvFramework* Framework;
};
extern RilApiState* const g_pRilApiState;

#define MBIMRIL_MAX_MODEMS 4
#define MBIMRIL_VERSION 1
// Given to MBIMRIL_Close in place of a session value: only the RIL core is released.
#define MBIMRIL_NO_SESSION 0xFFFFFFFFu
#define MBIMRIL_NULL_CALLBACK (-11)
// Bits 1 to 4 of the modem bitmap, cleared by a close with a session value.
#define MBIMRIL_CLOSE_BITS 0x1Eu

extern "C" {
uint32_t MBIMRIL_Version(uint32_t min, uint32_t max);
uint32_t MBIMRIL_Init(uint32_t modemId);
uint32_t MBIMRIL_Open(uint32_t handle, uint32_t reserved1, uint32_t reserved2, void* value);
int MBIMRIL_Close(uint32_t session, int isShutdown);
void MBIMRIL_DeInit(uint32_t modemId);
}

// The session value of handle h.
uint32_t MBIMRIL_SessionValue(uint32_t handle);

void MBIM_IOControl_Cleanup(uint32_t handle);
int MDMMipcloopback_InputControl(int executor, const uint8_t* buffer, int read_count);
BOOL MDMMipcloopback_OutputRequest(int executor, int a, int b);

BOOL DllMain(HMODULE module, DWORD reason, LPVOID reserved);
void InitializeFramework(void);
void DeinitializeFramework(void);
void InvalidParameterHandler(const char16_t* expression, const char16_t* function, const char16_t* file,
                             unsigned int line, uintptr_t reserved);
