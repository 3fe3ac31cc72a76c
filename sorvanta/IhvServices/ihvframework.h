// The process-wide endpoint framework: the endpoints by modem context handle and service type, the
// request lock of their queues, the binding to the RIL core and the SIM-application maps.
#pragma once

#include "ril_api.h"

#include <windows.h>

#include <map>
#include <memory>
#include <stdint.h>
#include <vector>

class IhvServices;
class IhvRequest;

#define IHV_SERVICE_TYPE_RIL 0
#define IHV_SERVICE_TYPE_MBIM 1
// Set in the id of a RIL notification, clear in an MBIM one.
#define IHV_RIL_NOTIFICATION_BIT 0x10000000
// The destroy counter starts again at 1 after this many calls.
#define IHV_DESTROY_COUNTER_WRAP 10000

class IhvFramework {
public:
    static IhvFramework* GetInstancte();
    static void DESTROYInstance();
    // 0 while the singleton may be destroyed, else the number of destroy calls (wrapping).
    static uint32_t DestroyCounter();
    ~IhvFramework();
    IhvFramework(const IhvFramework&) = delete;
    IhvFramework& operator=(const IhvFramework&) = delete;

    std::shared_ptr<IhvServices> CreateServicesEndpoint(uint32_t handle, int32_t service_type);
    // 0 found, 1 not found.
    int RetrieveServicesEndpoint(uint32_t handle, int32_t service_type, std::shared_ptr<IhvServices>& out);
    int RetrieveNotificationEndpoint(int32_t stack, int32_t id, std::shared_ptr<IhvServices>& out);
    int DeleteGroup(uint32_t handle);

    // The number of executors of the started RIL core; 0 when it gave no usable table.
    uint32_t InitializeRil(void* value);
    // One translation step to the RIL core; `token` comes back with its completion.
    static void SendRequestToRil(int stack_id, int req_id, int uuid_index, uint8_t is_set, void* data,
                                 uint32_t data_len, void* token);
    static void emu_RILCore_RequestComplete_toCIDFMK(void* token, int ril_error, const void* response,
                                                     size_t length);

    // The queued request that owns this step, under the request lock; none when the token is not a
    // step of any queued request (its request already left, so the pointer must not be followed).
    std::shared_ptr<IhvRequest> FindTokenParent(const void* token);

    // SIM-application maps: 1 done, 0 not.
    int GetPhysicalSlot(int32_t stack, int32_t* slot);
    int GetStackFromSlot(int32_t slot, int32_t* stack);
    void AddHsimapp(uint32_t hsimapp, int32_t stack, bool take_lock);
    int MapHsimappToHuiccapp(uint32_t hsimapp, int32_t stack);
    int MapHuiccappToExecutor(uint32_t huiccapp, int32_t stack);
    void RemoveHuiccapp(uint32_t huiccapp);
    BOOL ConfigureHuiccapps(const uint32_t* huiccapps, uint32_t count, uint32_t value);
    int IsHuiccappConfigured(uint32_t huiccapp);
    int ConfigureExecutor(uint32_t huiccapp, int32_t stack, int32_t* stack_out, int32_t* executor_out);
    int SetExecutorFromStack(int32_t stack, int32_t* executor);
    int SetStackFromExecutor(int32_t executor, int32_t* stack);
    int SetHuiccappFromSimapp(int32_t stack, uint32_t hsimapp, uint32_t* huiccapp);
    int SetHsimappFromHuiccapp(uint32_t huiccapp, uint32_t* hsimapp);
    int SetStackFromHuiccapp(uint32_t huiccapp, int32_t* stack);

    CRITICAL_SECTION request_lock;
    CRITICAL_SECTION map_lock;
    std::map<int32_t, uint32_t> service_types;
    std::map<uint32_t, std::vector<std::shared_ptr<IhvServices>>> groups;
    std::map<uint32_t, uint32_t> huiccapps;
    std::map<uint32_t, uint32_t> configured_huiccapps;
    RadioCallbacks* s_radio_cb;

private:
    IhvFramework();
    // The HUICCAPP map's value, under the map lock.
    bool HuiccappValue(uint32_t huiccapp, uint32_t* value);
};

// The RIL core's slots into the front.
int emu_RILCore_UnsolicitedResponse_toCIDFMK(int stack, int id, int uuid_index, const void* data, size_t length);
void emu_RILCore_RequestTimedCallback(RIL_TimedCallback callback, void* argument, const ril_timeval* time);
extern const RilEnv g_RilEnv;

// The RIL notification form of SetExecutorFromStack on the singleton.
int SetRilNotificationExecutor(int32_t stack, int32_t* executor);

// Takes and leaves the framework's request lock.
class RequestLock {
public:
    explicit RequestLock(IhvFramework* framework);
    ~RequestLock();
    RequestLock(const RequestLock&) = delete;
    RequestLock& operator=(const RequestLock&) = delete;

private:
    IhvFramework* m_framework;
};
