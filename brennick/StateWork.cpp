#include "StateWork.h"

#include "Log.h"
#include "MbnEvents.h"

#include <objbase.h>
#include <string.h>

std::atomic<int> g_uninstallHandled{0};

namespace
{

std::atomic<CStateWork*> g_stateWork{nullptr};

constexpr DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

} // namespace

CStateWork* CStateWork::GetInstance()
{
    CStateWork* work = g_stateWork.load(std::memory_order_acquire);
    if (work == nullptr) {
        work = new CStateWork();
        g_stateWork.store(work, std::memory_order_release);
    }
    return work;
}

CStateWork::CStateWork()
    : m_thread(INVALID_HANDLE_VALUE), m_startEvent(INVALID_HANDLE_VALUE), m_stopEvent(INVALID_HANDLE_VALUE),
      m_regChangeNotifyEvent(INVALID_HANDLE_VALUE), m_mbbInterfaceMonitorEvent(nullptr),
      m_pwrResumeMonitorEvent(nullptr), m_comInitialized(1), m_radioCookie(0), m_radioContainer(nullptr),
      m_radioPoint(nullptr), m_radioSink(nullptr), m_managerCookie(0), m_managerContainer(nullptr),
      m_managerPoint(nullptr), m_managerSink(nullptr), m_timerQueue(nullptr), m_timer(nullptr), m_timerCreated(0),
      m_powerRegistration(nullptr), m_powerRegistrationResult(0), m_powerSubscription{PowerEventCallback, this}
{
    char module[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    // A cut path names another directory: treated as unreadable.
    if (length != 0 && length < MAX_PATH) {
        char* lastSeparator = strrchr(module, '\\');
        if (lastSeparator != nullptr)
            lastSeparator[1] = '\0';
        m_runPath = module;
        CLog::GetInstance()->WriteLog(2, "m_runPath:%s", m_runPath.c_str());
    }
    HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) {
        m_comInitialized = 0;
        CLog::GetInstance()->WriteLog(2, "CoInitializeEx Failed(%x)\n", result);
    }
    m_powerRegistrationResult =
        PowerRegisterSuspendResumeNotification(DEVICE_NOTIFY_CALLBACK, &m_powerSubscription, &m_powerRegistration);
}

CStateWork::~CStateWork()
{
    for (HANDLE event : {m_startEvent, m_stopEvent, m_regChangeNotifyEvent, m_mbbInterfaceMonitorEvent,
                         m_pwrResumeMonitorEvent})
        if (event != nullptr && event != INVALID_HANDLE_VALUE)
            CloseHandle(event);
    if (m_comInitialized == 1)
        CoUninitialize();
    if (m_powerRegistrationResult == ERROR_SUCCESS)
        PowerUnregisterSuspendResumeNotification(m_powerRegistration);
    for (IUnknown* held : std::initializer_list<IUnknown*>{m_radioSink, m_managerSink, m_radioPoint, m_managerPoint,
                                                          m_radioContainer, m_managerContainer})
        if (held != nullptr)
            held->Release();
}

int CStateWork::InitWork()
{
    struct {
        HANDLE* event;
        const char* failure;
    } const events[] = {
        {&m_startEvent, "[Fail][CStateWork::InitWork] Create START_EVENT Event Fail."},
        {&m_stopEvent, "[Fail][CStateWork::InitWork] Create STOP_EVENT Event Fail."},
        {&m_regChangeNotifyEvent, "[Fail][CStateWork::InitWork] Create REG_CHANGE_NOTIFY_EVENT Event Fail."},
        {&m_mbbInterfaceMonitorEvent, "[Fail][CStateWork::InitWork] Create MBB_INTERFACE_MONITOR_EVENT Event Fail."},
        {&m_pwrResumeMonitorEvent, "[Fail][CStateWork::InitWork] Create PWR_RESUME_MONITOR_EVENT Event Fail."},
    };
    m_thread = nullptr;
    for (const auto& event : events) {
        *event.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (*event.event == nullptr) {
            CLog::GetInstance()->WriteLog(0, "%s", event.failure);
            return 0;
        }
    }
    return 1;
}

void CStateWork::StartThread()
{
    m_thread = CreateThread(nullptr, 0, TheadWork, this, 0, nullptr);
    SetEvent(m_startEvent);
}

void CStateWork::StopWork()
{
    SetEvent(m_stopEvent);
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::StopWork] Wait Thread Stop\n");
    WaitForSingleObject(m_thread, INFINITE);
}

DWORD WINAPI CStateWork::TheadWork(LPVOID context)
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::TheadWork] Enter TheadWork.");
    static_cast<CStateWork*>(context)->Work();
    return 1;
}

void CStateWork::ArmFilterKeyNotification(HKEY key)
{
    LSTATUS error = RegNotifyChangeKeyValue(key, TRUE, kNotifyFilter, m_regChangeNotifyEvent, TRUE);
    if (error != ERROR_SUCCESS)
        CLog::GetInstance()->WriteLog(2, "Error in RegNotifyChangeKeyValue (%d)", error);
}

void CStateWork::Work()
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Enter work function");
    WaitForSingleObject(m_startEvent, INFINITE);
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Triger Service Start Event.");

    HRESULT result = RegisterMbnInterfaceMonitorEvent();
    if (FAILED(result))
        CLog::GetInstance()->WriteLog(2, "RegisterMbnInterfaceMonitorEvent Fail(%x)", result);
    else
        CLog::GetInstance()->WriteLog(2, "RegisterMbnInterfaceMonitorEvent success");
    result = RegisterRadioStateCallback();
    if (FAILED(result))
        CLog::GetInstance()->WriteLog(2, "RegisterRadioStateCallback Fail(%x)", result);
    else
        CLog::GetInstance()->WriteLog(2, "RegisterRadioStateCallback Success(%x)", result);
    m_timerCreated = CreateMbbInterfaceTimer();

    // A key that cannot be opened now stays unwatched for this run.
    HKEY filterKey = nullptr;
    LSTATUS error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_ALL_ACCESS, &filterKey);
    if (error != ERROR_SUCCESS) {
        filterKey = nullptr;
        CLog::GetInstance()->WriteLog(2, "Error in RegOpenKeyEx (%d).\n", error);
    } else {
        ArmFilterKeyNotification(filterKey);
    }
    CLog::GetInstance()->WriteLog(2, "begin wait for event");

    const HANDLE events[] = {m_stopEvent, m_regChangeNotifyEvent, m_mbbInterfaceMonitorEvent,
                             m_pwrResumeMonitorEvent};
    for (;;) {
        DWORD signalled = WaitForMultipleObjects(4, events, FALSE, INFINITE);
        switch (signalled) {
        case WAIT_OBJECT_0:
            OnStopEvent(filterKey);
            return;
        case WAIT_OBJECT_0 + 1:
            OnRegChangeNotifyEvent(filterKey);
            break;
        case WAIT_OBJECT_0 + 2:
            OnMbbInterfaceMonitorEvent();
            break;
        case WAIT_OBJECT_0 + 3:
            OnPwrResumeMonitorEvent();
            break;
        default:
            CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Error in WaitForMultipleObjects (%d)",
                                          GetLastError());
            break;
        }
        CLog::GetInstance()->WriteLog(2, "begin wait for event");
    }
}

// The COM pointers stay: they go with the process.
void CStateWork::OnStopEvent(HKEY filterKey)
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Triger Service Stop Event");
    if (filterKey != nullptr)
        RegCloseKey(filterKey);
    DestroyMbbInterfaceTimer();
    if (m_radioCookie != 0)
        m_radioPoint->Unadvise(m_radioCookie);
    if (m_managerCookie != 0)
        m_managerPoint->Unadvise(m_managerCookie);
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Exit Success");
}

// Every change under the key while QuenmarkUninstall reads 1 answers the removal again.
void CStateWork::OnRegChangeNotifyEvent(HKEY filterKey)
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Triger Reg Change Notify Event");
    if (filterKey == nullptr)
        return;
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS error = RegQueryValueExA(filterKey, kUninstallValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value),
                                     &size);
    if (error != ERROR_SUCCESS) {
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] query REG_UNINSTALL_KEY fail:%d", error);
    } else if (value == 1) {
        g_uninstallHandled = 1;
        ShowUninstallWarningDiag();
        DisableTaluvoDriver();
    }
    ArmFilterKeyNotification(filterKey);
}

void CStateWork::OnMbbInterfaceMonitorEvent()
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Triger MBB_INTERFACE_MONITOR_EVENT Event");
    HRESULT result = SetInitRadioState();
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, "SetInitRadioState Fail(%x)\n", result);
        return;
    }
    DestroyMbbInterfaceTimer();
    // A tick that came while the radio was read would run the whole check (perhaps a needless
    // reinstallation) a second time; a real arrival signals again after this.
    ResetEvent(m_mbbInterfaceMonitorEvent);
    CheckFilterInstallation();
}

void CStateWork::OnPwrResumeMonitorEvent()
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] Triger PWR_RESUME_MONITOR_EVENT Event");
    HRESULT result = CheckMbbInterfaceExist();
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] CheckMbbInterfaceExist result(%d)", result);
    if (SUCCEEDED(result)) {
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::Work] set power resume key");
        SetPowerResumeKey();
    }
}

LSTATUS WriteFilterSubkeyDword(const char* subkey, DWORD value, const char* openFailure, const char* written)
{
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) {
        CLog::GetInstance()->WriteLog(2, openFailure, error);
        return error;
    }
    error = RegSetKeyValueA(key, subkey, nullptr, REG_DWORD, &value, sizeof(value));
    CLog::GetInstance()->WriteLog(2, written, error);
    RegCloseKey(key);
    return error;
}

void CStateWork::SetPowerResumeKey()
{
    WriteFilterSubkeyDword(kPowerResumeSubkey, 1, "Error in RegOpenKeyEx (%d).", "RegSetValueEx BrennickPowerResume %d");
}

HRESULT CStateWork::SetInitRadioState()
{
    CLog::GetInstance()->WriteLog(2, "SetInitRadioState Enter");
    return WalkInterfaces(true, m_timerCreated != 1);
}

HRESULT CStateWork::CheckMbbInterfaceExist()
{
    return WalkInterfaces(false, true);
}

HRESULT CStateWork::WalkInterfaces(bool writeRadioState, bool retry)
{
    IMbnInterfaceManager* manager = nullptr;
    HRESULT result = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                      reinterpret_cast<void**>(&manager));
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, "CoCreateInstance IID_IMbnInterfaceManager Failed(%x)\n", result);
        return result;
    }
    SAFEARRAY* interfaces = nullptr;
    if (!retry) {
        result = manager->GetInterfaces(&interfaces);
    } else {
        for (ULONG attempt = 0; attempt < kInterfaceTries; attempt++) {
            result = manager->GetInterfaces(&interfaces);
            if (SUCCEEDED(result)) {
                CLog::GetInstance()->WriteLog(2, "GetInterfaces success(%lu)\n", attempt);
                break;
            }
            CLog::GetInstance()->WriteLog(2, "GetInterfaces Retry(%lu) Fail\n", attempt);
            Sleep(kInterfacePollMs);
        }
    }
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, "GetInterfaces Fail\n");
        manager->Release();
        return result;
    }
    LONG lower = 0;
    LONG upper = -1;
    result = SafeArrayGetLBound(interfaces, 1, &lower);
    if (FAILED(result))
        CLog::GetInstance()->WriteLog(2, "SafeArrayGetLBound Fail\n");
    else if (FAILED(result = SafeArrayGetUBound(interfaces, 1, &upper)))
        CLog::GetInstance()->WriteLog(2, "SafeArrayGetUBound Fail\n");
    else
        CLog::GetInstance()->WriteLog(2, "lLower:%lu-%lu\n", lower, upper);
    for (LONG index = lower; SUCCEEDED(result) && index <= upper; index++) {
        IMbnInterface* item = nullptr;
        result = SafeArrayGetElement(interfaces, &index, &item);
        if (FAILED(result)) {
            CLog::GetInstance()->WriteLog(2, "SafeArrayGetElement Fail\n");
            break;
        }
        IMbnRadio* radio = nullptr;
        result = item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&radio));
        if (FAILED(result)) {
            CLog::GetInstance()->WriteLog(2, "QueryInterface IMbnRadio Fail\n");
            item->Release();
            break;
        }
        if (writeRadioState) {
            // Each interface starts from "off", and only a state that was read is written: a failed
            // read must not become a radio wish that the filter acts on.
            MBN_RADIO software = MBN_RADIO_OFF;
            MBN_RADIO hardware = MBN_RADIO_OFF;
            HRESULT softwareRead = radio->get_SoftwareRadioState(&software);
            radio->get_HardwareRadioState(&hardware);
            CLog::GetInstance()->WriteLog(2, "CMbnRadioEvents::INIT softRadio(%d)---hardRadio(%d)\n", software,
                                          hardware);
            if (SUCCEEDED(softwareRead))
                WriteFilterSubkeyDword(kRadioStateSubkey, static_cast<DWORD>(software),
                                       "Error in RegOpenKeyEx (%d).\n", "RegSetValueEx REG_RADIO_STATE_KEY %d");
        }
        radio->Release();
        item->Release();
    }
    SafeArrayDestroy(interfaces);
    manager->Release();
    return result;
}

int CStateWork::CreateMbbInterfaceTimer()
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::CreateMbbInterfaceTimer] CreateMbbInterfaceTimer");
    m_timerQueue = CreateTimerQueue();
    if (m_timerQueue == nullptr)
        return 0;
    if (!CreateTimerQueueTimer(&m_timer, m_timerQueue, MbbInterfaceTimerCallback, this, 0, kInterfacePollMs,
                               WT_EXECUTEDEFAULT)) {
        m_timer = nullptr;
        CLog::GetInstance()->WriteLog(0, "[Error][CStateWork::CreateMbbInterfaceTimer] CreateTimerQueueTimer fail %d",
                                      GetLastError());
        return 0;
    }
    return 1;
}

void CStateWork::DestroyMbbInterfaceTimer()
{
    if (m_timerQueue == nullptr)
        return;
    if (m_timer != nullptr) {
        BOOL deleted = DeleteTimerQueueTimer(m_timerQueue, m_timer, INVALID_HANDLE_VALUE);
        m_timer = nullptr;
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::DestroyMbbInterfaceTimer] DeleteTimerQueueTimer-%d-%d",
                                      deleted, GetLastError());
    }
    BOOL deleted = DeleteTimerQueueEx(m_timerQueue, INVALID_HANDLE_VALUE);
    m_timerQueue = nullptr;
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::DestroyMbbInterfaceTimer] DeleteTimerQueueEx-%d-%d",
                                  deleted, GetLastError());
}

void CALLBACK CStateWork::MbbInterfaceTimerCallback(PVOID context, BOOLEAN)
{
    SetEvent(static_cast<CStateWork*>(context)->m_mbbInterfaceMonitorEvent);
}

ULONG CALLBACK CStateWork::PowerEventCallback(PVOID context, ULONG type, PVOID)
{
    auto* work = static_cast<CStateWork*>(context);
    CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::PowerEventCallback] Enter PowerEventCallback.Type:%lu",
                                  type);
    switch (type) {
    case PBT_APMSUSPEND:
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMSUSPEND(%lu)", type);
        work->TriggerPwrResumeMonitorEvent(0);
        break;
    case PBT_APMRESUMESUSPEND:
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMRESUMESUSPEND(%lu)",
                                      type);
        work->TriggerPwrResumeMonitorEvent(1);
        break;
    case PBT_APMRESUMEAUTOMATIC:
        CLog::GetInstance()->WriteLog(
            2, "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMRESUMEAUTOMATIC(%lu)", type);
        break;
    default:
        CLog::GetInstance()->WriteLog(2, "[Infomation][CStateWork::PowerEventCallback] Enter other(%lu)", type);
        break;
    }
    return 0;
}

void CStateWork::TriggerMbbInterfaceMonitorEvent(int flag)
{
    if (flag != 0)
        SetEvent(m_mbbInterfaceMonitorEvent);
    else
        ResetEvent(m_mbbInterfaceMonitorEvent);
}

void CStateWork::TriggerPwrResumeMonitorEvent(int flag)
{
    if (flag != 0)
        SetEvent(m_pwrResumeMonitorEvent);
    else
        ResetEvent(m_pwrResumeMonitorEvent);
}
