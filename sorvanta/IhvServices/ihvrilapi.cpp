#include "ihvrilapi.h"

#include "async_ril.h"
#include "ihv_log.h"
#include "ihvframework.h"
#include "mbimservices.h"
#include "ril_etw.h"
#include "text_convert.h"

#include <libloaderapi.h>
#include <stdlib.h>

#include <string.h>

CallbackRecord g_CallbackRecord[RIL_EXECUTORS];

namespace {

RilApiState s_rilApiState;
HMODULE s_module = nullptr;
_invalid_parameter_handler s_previousHandler = nullptr;

// Handles, executors and session values come from outside: a bit outside the bitmap reads as clear.
bool BitSet(uint32_t bit)
{
    return bit < 32 && (s_rilApiState.ModemBitmap & (1u << bit)) != 0;
}

void SetBit(uint32_t bit)
{
    if (bit < 32)
        s_rilApiState.ModemBitmap |= 1u << bit;
}

void ClearBit(uint32_t bit)
{
    if (bit < 32)
        s_rilApiState.ModemBitmap &= ~(1u << bit);
}

bool Guarded()
{
    return s_rilApiState.Framework != nullptr && s_rilApiState.VersionNegotiated == 1;
}

void LogGuard(uint32_t modemId)
{
    IHV_LOG_ERROR("ERROR: g_pRilApiState->Framework(0x%01d), g_pRilApiState->VersionNegotiated(%d), modemId(0x%x)\n",
                  s_rilApiState.Framework != nullptr ? 1 : 0, static_cast<int>(s_rilApiState.VersionNegotiated), modemId);
}

uint32_t StateAddress()
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_rilApiState));
}

int RegisterTriple(CIDReadCallback CallbackRecord::*read_slot, CIDWriteCallback CallbackRecord::*write_slot,
                   CIDSpareCallback CallbackRecord::*spare_slot, uint32_t executor, CIDReadCallback read,
                   CIDWriteCallback write, CIDSpareCallback spare, const char* received, const char* refused)
{
    if (read == nullptr || write == nullptr || spare == nullptr) {
        IHV_LOG_ERROR("%s", refused);
        return MBIMRIL_NULL_CALLBACK;
    }
    // Two records only: another executor is refused without a write.
    if (executor >= RIL_EXECUTORS) {
        IHV_LOG_ERROR("ERROR: no callback record for executor %u\n", executor);
        return MBIMRIL_NULL_CALLBACK;
    }
    CallbackRecord& record = g_CallbackRecord[executor];
    record.*read_slot = read;
    record.*write_slot = write;
    record.*spare_slot = spare;
    IHV_LOG_INFO(received, static_cast<int>(executor), static_cast<unsigned>(reinterpret_cast<uintptr_t>(read)),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(write)),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(spare)));
    return 0;
}

} // namespace

RilApiState* const g_pRilApiState = &s_rilApiState;

uint32_t MBIMRIL_SessionValue(uint32_t handle)
{
    return handle + StateAddress();
}

extern "C" uint32_t MBIMRIL_Version(uint32_t min, uint32_t max)
{
    IHV_LOG_INFO("%s\n", __func__);
    s_rilApiState.VersionNegotiated = 0;
    if (min == 0 || max == 0 || max < min)
        return 0;
    if (max > MBIMRIL_VERSION) {
        if (min > MBIMRIL_VERSION)
            return 0;
        max = MBIMRIL_VERSION;
    }
    s_rilApiState.VersionNegotiated = 1;
    return max;
}

extern "C" uint32_t MBIMRIL_Init(uint32_t modemId)
{
    IHV_LOG_INFO("%s\n", __func__);
    if (!Guarded() || modemId >= MBIMRIL_MAX_MODEMS) {
        LogGuard(modemId);
        return 0;
    }
    uint32_t handle = 2 * modemId + 1;
    if (BitSet(handle)) {
        IHV_LOG_ERROR("ERROR: g_pRilApiState->ModemBitmap(0x%x), modemHandle(0x%x)\n", s_rilApiState.ModemBitmap, handle);
        return 0;
    }
    SetBit(handle);
    IHV_LOG_INFO("IhvRil- MBIMRIL_Init modemId=%d returning modemContextHandle 0x%08x\n", static_cast<int>(modemId), handle);
    return handle;
}

extern "C" void MBIMRIL_DeInit(uint32_t modemId)
{
    IHV_LOG_INFO("%s\n", __func__);
    if (!Guarded() || modemId >= MBIMRIL_MAX_MODEMS) {
        LogGuard(modemId);
        return;
    }
    uint32_t handle = 2 * modemId + 1;
    ClearBit(handle);
    IHV_LOG_INFO("IhvRil- MBIMRIL_DeInit g_pRilApiState->ModemBitmap=%d, modemHandle(0x%x)\n",
                 static_cast<int>(s_rilApiState.ModemBitmap), handle);
}

extern "C" int MBIM_DriverCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                            CIDSpareCallback spare)
{
    IHV_LOG_INFO("%s\n", __func__);
    return RegisterTriple(&CallbackRecord::ReadCidRequest, &CallbackRecord::WriteCidResponse,
                          &CallbackRecord::DriverSpare, executor, read, write, spare,
                          "Function addresses received!, exec: %d : {  %01x   %01x   %01x}\n",
                          "Error! Null Function address received! Returning error -11\n");
}

extern "C" int MBIM_MDMVendorCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                               CIDSpareCallback spare)
{
    IHV_LOG_INFO("%s\n", __func__);
    return RegisterTriple(&CallbackRecord::ReadVendorResponse, &CallbackRecord::WriteVendorRequest,
                          &CallbackRecord::VendorSpare, executor, read, write, spare,
                          "MDM Function addresses received!, exec: %d : {  %01x   %01x   %01x}\n",
                          "MDm Error! Null Function address received! Returning error -11\n");
}

extern "C" uint32_t MBIMRIL_Open(uint32_t handle, uint32_t, uint32_t, void* value)
{
    IHV_LOG_INFO("%s\n", __func__);
    if (!Guarded()) {
        IHV_LOG_ERROR("ERROR: g_pRilApiState->Framework(0x%01d), g_pRilApiState->VersionNegotiated(%d)\n",
                      s_rilApiState.Framework != nullptr ? 1 : 0, static_cast<int>(s_rilApiState.VersionNegotiated));
        return 0;
    }
    if (!BitSet(handle)) {
        IHV_LOG_ERROR("ERROR: g_pRilApiState->ModemBitmap(0x%x), modemHandle(0x%x)\n", s_rilApiState.ModemBitmap, handle);
        return 0;
    }
    IhvFramework* framework = s_rilApiState.Framework;
    try {
        uint32_t executors = framework->InitializeRil(value);
        IHV_LOG_INFO("MBIMRIL_Open: numofexecutors: %d\n", static_cast<int>(executors));
        if (executors == 0) {
            framework->DeleteGroup(handle);
            return 0;
        }
        // Only executors with a callback record get an endpoint and a bit.
        if (executors > RIL_EXECUTORS)
            executors = RIL_EXECUTORS;
        for (uint32_t i = 0; i < executors; i++) {
            SetBit(handle + i);
            if (!framework->CreateServicesEndpoint(handle + i, IHV_SERVICE_TYPE_MBIM)) {
                IHV_LOG_ERROR("ERROR: Failed to create MbimServices Endpoint for modemContextHandle = 0x%08x\n", handle + i);
                for (uint32_t created = 0; created < i; created++)
                    framework->DeleteGroup(handle + created);
                return 0;
            }
        }
    } catch (...) {
        return 0;
    }
    return MBIMRIL_SessionValue(handle);
}

extern "C" int MBIMRIL_Close(uint32_t session, int isShutdown)
{
    IHV_LOG_INFO("%s\n", __func__);
    if (!Guarded())
        return 0;
    IHV_LOG_INFO("isShutdown : %s\n", isShutdown == 1 ? "TRUE" : "FALSE");
    if (session != MBIMRIL_NO_SESSION) {
        uint32_t handle = session - StateAddress();
        if (BitSet(handle)) {
            try {
                RIL_Data_Cleanup();
                s_rilApiState.ModemBitmap &= ~MBIMRIL_CLOSE_BITS;
                RIL_close(isShutdown);
                if (s_rilApiState.Framework->DeleteGroup(handle) < 0) {
                    IHV_LOG_ERROR("ERROR: Failed to delete RilServices for the modemContextHandle = 0x%08x\n", handle);
                    return 0;
                }
                return 1;
            } catch (...) {
                return 0;
            }
        }
        IHV_LOG_ERROR("Check ModemBitmap & modemHandle failed\n");
        IHV_LOG_INFO("MBIM already released, only release RIL \n ");
    }
    RIL_Data_Cleanup();
    RIL_close(isShutdown);
    return 1;
}

void MBIM_IOControl(int executor, const void* buffer, int length)
{
    IHV_LOG_INFO("MBIM_IOControl  : bytes in: %d\n", length);
    if (!Guarded()) {
        IHV_LOG_INFO("MBIM_IOControl g_pRilApiState->Framework\n");
        return;
    }
    uint32_t handle = static_cast<uint32_t>(executor) + 1;
    if (executor < 0 || !BitSet(handle)) {
        IHV_LOG_INFO("MBIM_IOControl g_pRilApiState->ModemBitmap %d, modemHandle %d\n",
                     static_cast<int>(s_rilApiState.ModemBitmap), static_cast<int>(handle));
        return;
    }
    std::shared_ptr<IhvServices> endpoint;
    if (s_rilApiState.Framework->RetrieveServicesEndpoint(handle, IHV_SERVICE_TYPE_MBIM, endpoint) != 0 || !endpoint) {
        IHV_LOG_ERROR("ERROR: Failed to retrieve the RilServices Endpoint for modemHandle=0x%08x\n", handle);
        return;
    }
    try {
        if (buffer != nullptr && length > 0)
            static_cast<MbimServices*>(endpoint.get())->MbimIoControl(buffer, static_cast<uint32_t>(length));
    } catch (...) {
    }
}

void MBIM_IOControl_Cleanup(uint32_t handle)
{
    if (!Guarded()) {
        IHV_LOG_INFO("%s\n", __func__);
        return;
    }
    try {
        std::shared_ptr<IhvServices> endpoint;
        if (s_rilApiState.Framework->RetrieveServicesEndpoint(handle, IHV_SERVICE_TYPE_MBIM, endpoint) != 0 || !endpoint) {
            IHV_LOG_ERROR("ERROR: Failed to retrieve the MbimServices Endpoint for modemHandle=0x%08x\n", handle);
            return;
        }
        // The clean-up releases the framework, and with it this endpoint's group: keep neither.
        s_rilApiState.Framework = nullptr;
        endpoint->CleanUprequests();
        endpoint.reset();
        IHV_LOG_INFO("%s\n", __func__);
    } catch (...) {
    }
}

int MDMMipcloopback_InputControl(int executor, const uint8_t* buffer, int read_count)
{
    static int s_responseIndex = 0;
    IHV_LOG_INFO("MDMMipcloopback_InputControl: exec: %d : buf,rd= {  %01x   %01x }, rsp index= %d\n", executor,
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(buffer)), static_cast<unsigned>(read_count),
                 s_responseIndex);
    uint8_t first[8] = {};
    if (buffer != nullptr && read_count > 0)
        memcpy(first, buffer, read_count < 8 ? static_cast<size_t>(read_count) : sizeof(first));
    IHV_LOG_INFO("rsp buf few bytes: %1X %1X %1X %1X %1X %1X %1X %1X  \n", first[0], first[1], first[2], first[3],
                 first[4], first[5], first[6], first[7]);
    return 0;
}

BOOL MDMMipcloopback_OutputRequest(int executor, int a, int b)
{
    IHV_LOG_INFO("MDMMipcloopback_InputControl: exec: %d : {  %01x   %01d}\n", executor, static_cast<unsigned>(a), b);
    IHV_LOG_INFO("triggering rsp Event\n");
    EventControlData record = {};
    record.evsize = 5;
    record.t = 1;
    record.l = 3;
    record.v[0] = 0x6F;
    MDMVendor_EventControlInput(0, &record);
    return TRUE;
}

void InitializeFramework(void)
{
    IHV_LOG_INFO("%s++\n", __func__);
    s_rilApiState.VersionNegotiated = 0;
    s_rilApiState.ModemBitmap = 0;
    try {
        s_rilApiState.Framework = IhvFramework::GetInstancte();
    } catch (...) {
        s_rilApiState.Framework = nullptr;
    }
    IHV_LOG_INFO("%s--\n", __func__);
}

void DeinitializeFramework(void)
{
    IHV_LOG_INFO("%s++\n", __func__);
    if (s_rilApiState.ModemBitmap != 0)
        s_rilApiState.ModemBitmap &= ~MBIMRIL_CLOSE_BITS;
    // The worker may still run (opened and released without a close): it must stop before the
    // framework it calls into goes. Stopping a stopped core does nothing.
    RIL_Data_Cleanup();
    RIL_close(0);
    s_rilApiState.Framework = nullptr;
    IhvFramework::DESTROYInstance();
    IHV_LOG_INFO("%s--\n", __func__);
}

void InvalidParameterHandler(const char16_t* expression, const char16_t* function, const char16_t* file,
                             unsigned int line, uintptr_t)
{
    IHV_LOG_ERROR("ERROR: Invalid parameter detected in function %s. File: %s Line: %d\n",
                  utf16_to_utf8(function ? function : u"").c_str(), utf16_to_utf8(file ? file : u"").c_str(),
                  static_cast<int>(line));
    IHV_LOG_ERROR("ERROR: Expression: %s\n", utf16_to_utf8(expression ? expression : u"").c_str());
}

BOOL DllMain(HMODULE module, DWORD reason, LPVOID reserved)
{
    if (s_module == nullptr) {
        s_module = module;
        IHV_LOG_INFO("DllMain++  , first time load, hd=%01llX \n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)));
    } else {
        IHV_LOG_INFO("DllMain++  Already loaded , hd=%01llx reas= %d\n",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)), static_cast<int>(reason));
    }
    unsigned long long self = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module));
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ril_etw_register();
        s_previousHandler = _set_invalid_parameter_handler(InvalidParameterHandler);
        InitializeFramework();
        IHV_LOG_INFO("IhvRil - DLL_PROCESS_ATTACH\n");
        ril_trace_write(RIL_EVENT_ERROR, false, "IHVRIL DLL Attach");
        break;
    case DLL_PROCESS_DETACH:
        DeinitializeFramework();
        _set_invalid_parameter_handler(s_previousHandler);
        s_previousHandler = nullptr;
        IHV_LOG_INFO(reserved != nullptr ? "IHVRIL DLL Detach, caller process terminating\n"
                                         : "IHVRIL DLL Detach, freelib called or loadfailed\n");
        ril_etw_unregister();
        s_module = nullptr;
        break;
    case DLL_THREAD_ATTACH:
        if (module == s_module)
            IHV_LOG_INFO("new Thread attach, dll hdl: %01llx  \n", self);
        else
            IHV_LOG_INFO("new Thread attach, diff hdl= %01llx  \n", self);
        break;
    case DLL_THREAD_DETACH:
        if (module == s_module)
            IHV_LOG_INFO("a Thread exiting, dll hdl %01llx  \n", self);
        else
            IHV_LOG_INFO("a Thread exiting, dll hdl= %01llx  \n", self);
        break;
    default:
        IHV_LOG_INFO("Unknown reason %d  \n", static_cast<int>(reason));
        break;
    }
    IHV_LOG_INFO("DllMain-- \n");
    return TRUE;
}
