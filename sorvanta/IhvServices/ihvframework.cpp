#include "ihvframework.h"

#include "async_ril.h"
#include "ihv_log.h"
#include "ihvmessages.h"
#include "mbimservices.h"

#include <stdio.h>

namespace {

IhvFramework* s_instance = nullptr;
uint32_t s_destroyCounter = 0;
uint32_t s_nextHuiccapp = 1;

uint32_t SlotValue(int32_t slot, uint32_t hsimapp)
{
    return (static_cast<uint32_t>(slot) << 24) | (hsimapp & 0xFFFFFF);
}

int32_t SlotOf(uint32_t value)
{
    return static_cast<int32_t>(value >> 24);
}

class MapLock {
public:
    explicit MapLock(CRITICAL_SECTION* lock) : m_lock(lock) { EnterCriticalSection(m_lock); }
    ~MapLock() { LeaveCriticalSection(m_lock); }
    MapLock(const MapLock&) = delete;
    MapLock& operator=(const MapLock&) = delete;

private:
    CRITICAL_SECTION* m_lock;
};

} // namespace

const RilEnv g_RilEnv = {IhvFramework::emu_RILCore_RequestComplete_toCIDFMK, emu_RILCore_UnsolicitedResponse_toCIDFMK,
                         emu_RILCore_RequestTimedCallback};

RequestLock::RequestLock(IhvFramework* framework) : m_framework(framework)
{
    if (m_framework)
        EnterCriticalSection(&m_framework->request_lock);
}

RequestLock::~RequestLock()
{
    if (m_framework)
        LeaveCriticalSection(&m_framework->request_lock);
}

IhvFramework::IhvFramework() : s_radio_cb(nullptr)
{
    InitializeCriticalSection(&request_lock);
    InitializeCriticalSection(&map_lock);
}

IhvFramework* IhvFramework::GetInstancte()
{
    if (s_instance)
        return s_instance;
    s_instance = new IhvFramework();
    s_destroyCounter = 0;
    IHV_LOG_INFO(" IhvFramework:GetInstancte:  Created! now\n");
    return s_instance;
}

void IhvFramework::DESTROYInstance()
{
    if (s_destroyCounter == 0) {
        IHV_LOG_INFO(" IhvFramework:DESTROYInstance:  destroying! now\n");
        s_destroyCounter = 1;
        IhvFramework* instance = s_instance;
        s_instance = nullptr;
        delete instance;
        return;
    }
    s_destroyCounter = s_destroyCounter >= IHV_DESTROY_COUNTER_WRAP ? 1 : s_destroyCounter + 1;
    IHV_LOG_INFO(" IhvFramework:DESTROYInstance!!!:  Already DESTroyed %d times !!\n", static_cast<int>(s_destroyCounter));
}

uint32_t IhvFramework::DestroyCounter()
{
    return s_destroyCounter;
}

IhvFramework::~IhvFramework()
{
    IHV_LOG_INFO("~IhvFramework");
    DESTROYInstance();
    configured_huiccapps.clear();
    huiccapps.clear();
    groups.clear();
    service_types.clear();
    DeleteCriticalSection(&map_lock);
    DeleteCriticalSection(&request_lock);
}

std::shared_ptr<IhvServices> IhvFramework::CreateServicesEndpoint(uint32_t handle, int32_t service_type)
{
    std::shared_ptr<IhvServices> endpoint = std::make_shared<MbimServices>(handle);
    std::vector<std::shared_ptr<IhvServices>>& group = groups[handle];
    group.push_back(endpoint);
    service_types.emplace(service_type, static_cast<uint32_t>(group.size() - 1));
    return endpoint;
}

int IhvFramework::RetrieveServicesEndpoint(uint32_t handle, int32_t service_type, std::shared_ptr<IhvServices>& out)
{
    auto group = groups.find(handle);
    auto position = service_types.find(service_type);
    if (group == groups.end() || position == service_types.end() || position->second >= group->second.size())
        return 1;
    out = group->second[position->second];
    return out ? 0 : 1;
}

int IhvFramework::RetrieveNotificationEndpoint(int32_t stack, int32_t id, std::shared_ptr<IhvServices>& out)
{
    if ((static_cast<uint32_t>(id) & IHV_RIL_NOTIFICATION_BIT) == 0) {
        IHV_LOG_INFO("MBIM notification ID: %d from STACK: %d\n", id, stack);
        return RetrieveServicesEndpoint(static_cast<uint32_t>(stack + 1), IHV_SERVICE_TYPE_MBIM, out);
    }
    IHV_LOG_INFO("RIL notification ID: %d from STACK: %d\n", id, stack);
    return RetrieveServicesEndpoint(static_cast<uint32_t>((stack / 2) * 2 + 1), IHV_SERVICE_TYPE_RIL, out);
}

int IhvFramework::DeleteGroup(uint32_t)
{
    // The group stays until the framework goes: a reopen appends behind it.
    IHV_LOG_INFO("%s HLK24H2 test remove IhvFramework destroy\n", "IhvFramework::DeleteGroup");
    return 0;
}

uint32_t IhvFramework::InitializeRil(void* value)
{
    s_radio_cb = RIL_init(&g_RilEnv, 0, 0, value);
    if (s_radio_cb == nullptr || s_radio_cb->SendRequest == nullptr)
        return 0;
    return s_radio_cb->radio_parameters.numofexecutors;
}

void IhvFramework::SendRequestToRil(int stack_id, int req_id, int uuid_index, uint8_t is_set, void* data,
                                    uint32_t data_len, void* token)
{
    IhvFramework* framework = s_instance;
    if (framework == nullptr || framework->s_radio_cb == nullptr || framework->s_radio_cb->SendRequest == nullptr) {
        IHV_LOG_ERROR("ERROR: %s: no RIL core bound\n", "IhvFramework::SendRequestToRil");
        return;
    }
    framework->s_radio_cb->SendRequest(stack_id, req_id, uuid_index, is_set, data, data_len, token);
}

std::shared_ptr<IhvRequest> IhvFramework::FindTokenParent(const void* token)
{
    RequestLock lock(this);
    for (auto& [handle, group] : groups) {
        for (const std::shared_ptr<IhvServices>& endpoint : group) {
            if (!endpoint)
                continue;
            for (const std::shared_ptr<IhvRequest>& request : endpoint->requests)
                for (const std::shared_ptr<CIDRequest>& step : request->cid_requests)
                    if (step.get() == token)
                        return request;
        }
    }
    return nullptr;
}

void IhvFramework::emu_RILCore_RequestComplete_toCIDFMK(void* token, int ril_error, const void* response,
                                                        size_t length)
{
    static const char kName[] = "IhvFramework::emu_RILCore_RequestComplete_toCIDFMK";
    IHV_LOG_INFO("%s:\n", kName);
    if (token == nullptr) {
        IHV_LOG_ERROR("ERROR: emu_RILCore_RequestComplete_toCIDFMK Token is NULL!\n");
        return;
    }
    IhvFramework* framework = s_instance;
    std::shared_ptr<IhvRequest> parent = framework ? framework->FindTokenParent(token) : nullptr;
    if (!parent) {
        IHV_LOG_INFO("%s: Something wrong happened !!!\n", kName);
        return;
    }
    try {
        MbimServices* endpoint = parent->GetServices();
        if (parent->invalidated) {
            IHV_LOG_INFO("%s: Request is invalidated. release request class\n", kName);
            endpoint->PopRequest(parent.get());
            return;
        }
        auto* step = static_cast<CIDRequest*>(token);
        step->ril_error = ril_error;
        if (step->HasError())
            parent->TranslateStatus(1);
        uint32_t bounded = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
        if (parent->OnResponse(static_cast<const uint8_t*>(response), bounded) == 1) {
            IHV_LOG_INFO("Next Translation step...\n");
            parent->OnRequest();
        } else {
            endpoint->HandleFinalResponse(parent.get());
        }
    } catch (...) {
    }
}

int emu_RILCore_UnsolicitedResponse_toCIDFMK(int stack, int id, int uuid_index, const void* data, size_t length)
{
    IHV_LOG_INFO("emu_RILCore_UnsolicitedResponse_toCIDFMK++\n");
    if (id >= 1000 && id <= 1499) {
        IHV_LOG_INFO("Discarding Android native notification... id: %d\n", id);
        return 0;
    }
    IhvFramework* framework = IhvFramework::GetInstancte();
    std::shared_ptr<IhvServices> endpoint;
    if (framework->RetrieveNotificationEndpoint(stack, id, endpoint) != 0) {
        IHV_LOG_INFO("Discarding Notification - no service instance...\n");
        IHV_LOG_INFO("emu_RILCore_UnsolicitedResponse_toCIDFMK--\n");
        return 0;
    }
    try {
        uint32_t bounded = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
        endpoint->HandleNotification(data, bounded, id, uuid_index);
    } catch (...) {
    }
    IHV_LOG_INFO("emu_RILCore_UnsolicitedResponse_toCIDFMK--\n");
    return 0;
}

void emu_RILCore_RequestTimedCallback(RIL_TimedCallback, void*, const ril_timeval*)
{
}

// ---- SIM-application maps ------------------------------------------------------------------------

int IhvFramework::GetPhysicalSlot(int32_t stack, int32_t* slot)
{
    IHV_LOG_VERBOSE("%s++\n", "IhvFramework::GetPhysicalSlot");
    int result = 0;
    if (s_radio_cb == nullptr) {
        IHV_LOG_INFO("%s- s_radio_cb == NULL , radio parameters are not yet initialised\n", "IhvFramework::GetPhysicalSlot");
    } else if (stack == 0 && slot != nullptr) {
        *slot = s_radio_cb->radio_parameters.phySlot[0];
        printf("s_radio_cb->phySlot[stack_id]:%x\n", static_cast<unsigned>(*slot));
        printf("slot_id:%ld\n", static_cast<long>(*slot));
        result = 1;
    }
    IHV_LOG_VERBOSE("%s--\n", "IhvFramework::GetPhysicalSlot");
    return result;
}

int IhvFramework::GetStackFromSlot(int32_t slot, int32_t* stack)
{
    if (s_radio_cb == nullptr || stack == nullptr || slot != s_radio_cb->radio_parameters.phySlot[0])
        return 0;
    *stack = 0;
    return 1;
}

void IhvFramework::AddHsimapp(uint32_t hsimapp, int32_t stack, bool take_lock)
{
    int32_t slot = 0;
    if (!GetPhysicalSlot(stack, &slot))
        return;
    if (take_lock)
        EnterCriticalSection(&map_lock);
    if (huiccapps.emplace(s_nextHuiccapp, SlotValue(slot, hsimapp)).second)
        s_nextHuiccapp++;
    if (take_lock)
        LeaveCriticalSection(&map_lock);
}

int IhvFramework::MapHsimappToHuiccapp(uint32_t hsimapp, int32_t stack)
{
    int32_t slot = 0;
    if (!GetPhysicalSlot(stack, &slot))
        return 0;
    MapLock lock(&map_lock);
    uint32_t value = SlotValue(slot, hsimapp);
    for (const auto& [key, existing] : huiccapps)
        if (existing == value)
            return 1;
    AddHsimapp(hsimapp, stack, false);
    return 1;
}

int IhvFramework::MapHuiccappToExecutor(uint32_t huiccapp, int32_t stack)
{
    int32_t slot = 0;
    if (!GetPhysicalSlot(stack, &slot))
        return 0;
    MapLock lock(&map_lock);
    auto found = huiccapps.find(huiccapp);
    return found != huiccapps.end() && SlotOf(found->second) == slot ? 1 : 0;
}

void IhvFramework::RemoveHuiccapp(uint32_t huiccapp)
{
    MapLock lock(&map_lock);
    huiccapps.erase(huiccapp);
}

BOOL IhvFramework::ConfigureHuiccapps(const uint32_t* array, uint32_t count, uint32_t value)
{
    MapLock lock(&map_lock);
    for (auto it = configured_huiccapps.begin(); it != configured_huiccapps.end();)
        it = it->second == value ? configured_huiccapps.erase(it) : std::next(it);
    for (uint32_t i = 0; i < count && array != nullptr; i++) {
        auto found = huiccapps.find(array[i]);
        if (found == huiccapps.end() || configured_huiccapps.count(array[i]) != 0)
            return FALSE;
        configured_huiccapps.emplace(array[i], found->second);
    }
    return TRUE;
}

int IhvFramework::IsHuiccappConfigured(uint32_t huiccapp)
{
    MapLock lock(&map_lock);
    return huiccapps.count(huiccapp) != 0 && configured_huiccapps.count(huiccapp) != 0 ? 1 : 0;
}

int IhvFramework::ConfigureExecutor(uint32_t huiccapp, int32_t stack, int32_t* stack_out, int32_t* executor_out)
{
    if (stack_out)
        *stack_out = stack;
    if (executor_out)
        *executor_out = stack;
    int32_t slot = 0;
    uint32_t value = 0;
    if (!HuiccappValue(huiccapp, &value))
        return 0;
    if (!GetPhysicalSlot(stack, &slot))
        return 0;
    if (SlotOf(value) == slot)
        return 1;
    int32_t other = stack;
    if (GetStackFromSlot(SlotOf(value), &other) && executor_out)
        *executor_out = other;
    return 0;
}

int IhvFramework::SetExecutorFromStack(int32_t stack, int32_t* executor)
{
    if (executor == nullptr) {
        IHV_LOG_ERROR("%s- null executor\n", "IhvFramework::SetExecutorFromStack");
        return 0;
    }
    *executor = stack;
    return 1;
}

int IhvFramework::SetStackFromExecutor(int32_t executor, int32_t* stack)
{
    if (stack == nullptr)
        return 0;
    *stack = executor;
    return 1;
}

int IhvFramework::SetHuiccappFromSimapp(int32_t stack, uint32_t hsimapp, uint32_t* huiccapp)
{
    int32_t slot = 0;
    if (huiccapp == nullptr || !GetPhysicalSlot(stack, &slot))
        return 0;
    MapLock lock(&map_lock);
    for (const auto& [key, value] : huiccapps) {
        if (value == SlotValue(slot, hsimapp)) {
            *huiccapp = key;
            return 1;
        }
    }
    return 0;
}

bool IhvFramework::HuiccappValue(uint32_t huiccapp, uint32_t* value)
{
    MapLock lock(&map_lock);
    auto found = huiccapps.find(huiccapp);
    if (found == huiccapps.end())
        return false;
    *value = found->second;
    return true;
}

int IhvFramework::SetHsimappFromHuiccapp(uint32_t huiccapp, uint32_t* hsimapp)
{
    uint32_t value = 0;
    if (hsimapp == nullptr || !HuiccappValue(huiccapp, &value))
        return 0;
    *hsimapp = value & 0xFFFFFF;
    return 1;
}

int IhvFramework::SetStackFromHuiccapp(uint32_t huiccapp, int32_t* stack)
{
    uint32_t value = 0;
    if (!HuiccappValue(huiccapp, &value))
        return 0;
    return GetStackFromSlot(SlotOf(value), stack);
}

int SetRilNotificationExecutor(int32_t stack, int32_t* executor)
{
    int result = IhvFramework::GetInstancte()->SetExecutorFromStack(stack, executor);
    if (!result)
        IHV_LOG_ERROR("%s SET_EXECUTOR_ID failed\n", "SetRilNotificationExecutor");
    return result;
}
