// The service's worker: one thread and five auto-reset events. It waits for a mobile-broadband
// interface whose radio state can be read, hands that state to the filter through the filter key,
// runs the filter installation check once, and then reacts to interface arrivals, to the filter's
// uninstall value and to resume from suspend.
#pragma once

#include <windows.h>
#include <mbnapi.h>
#include <powerbase.h>

#include <atomic>
#include <string>

class CMbnRadioEvents;
class CMbnInterfaceManagerEventsMonitor;

// The filter registry record's key (the trailing backslash as the service has always opened it).
constexpr const char* kFilterKey = "SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick\\";
constexpr const char* kUninstallValue = "QuenmarkUninstall";
constexpr const char* kRadioStateSubkey = "BrennickCellular";
constexpr const char* kPowerResumeSubkey = "BrennickPowerResume";

// Interface poll period while no interface could be read, and the tries of the retrying reads.
constexpr DWORD kInterfacePollMs = 1500;
constexpr DWORD kInterfaceTries = 20;

// 1 once the worker acted on QuenmarkUninstall = 1; the interface sink clears it at the next removal and
// does not signal arrivals while it is set.
extern std::atomic<int> g_uninstallHandled;

class CStateWork
{
  public:
    // The process's worker, built on the first call (the service main thread's, before any other
    // thread uses it).
    static CStateWork* GetInstance();
    // Offered for completeness; the service never destroys its worker.
    ~CStateWork();

    // 1 when all five events were created, 0 at the first that could not be.
    int InitWork();
    void StartThread();
    void StopWork();

    static DWORD WINAPI TheadWork(LPVOID context);
    void Work();

    HRESULT SetInitRadioState();
    HRESULT CheckMbbInterfaceExist();
    int CreateMbbInterfaceTimer();
    void DestroyMbbInterfaceTimer();
    static void CALLBACK MbbInterfaceTimerCallback(PVOID context, BOOLEAN fired);
    static ULONG CALLBACK PowerEventCallback(PVOID context, ULONG type, PVOID setting);
    void TriggerMbbInterfaceMonitorEvent(int flag);
    void TriggerPwrResumeMonitorEvent(int flag);
    void SetPowerResumeKey();

    // The installation check and the answer to the filter's removal, run on the worker thread.
    void CheckFilterInstallation();
    void DisableTaluvoDriver();

    HANDLE m_thread;
    HANDLE m_startEvent;
    HANDLE m_stopEvent;
    HANDLE m_regChangeNotifyEvent;
    HANDLE m_mbbInterfaceMonitorEvent;
    HANDLE m_pwrResumeMonitorEvent;
    std::string m_runPath;
    DWORD m_comInitialized;
    DWORD m_radioCookie;
    IConnectionPointContainer* m_radioContainer;
    IConnectionPoint* m_radioPoint;
    CMbnRadioEvents* m_radioSink;
    DWORD m_managerCookie;
    IConnectionPointContainer* m_managerContainer;
    IConnectionPoint* m_managerPoint;
    CMbnInterfaceManagerEventsMonitor* m_managerSink;
    HANDLE m_timerQueue;
    HANDLE m_timer;
    DWORD m_timerCreated;
    HPOWERNOTIFY m_powerRegistration;
    DWORD m_powerRegistrationResult;
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS m_powerSubscription;

  private:
    CStateWork();
    CStateWork(const CStateWork&) = delete;
    CStateWork& operator=(const CStateWork&) = delete;

    // The interface walk that SetInitRadioState (with the radio reads and writes) and
    // CheckMbbInterfaceExist share.
    HRESULT WalkInterfaces(bool writeRadioState, bool retry);
    void ArmFilterKeyNotification(HKEY key);
    void OnStopEvent(HKEY filterKey);
    void OnRegChangeNotifyEvent(HKEY filterKey);
    void OnMbbInterfaceMonitorEvent();
    void OnPwrResumeMonitorEvent();
};

// Writes `value` as the default value of the filter key's subkey, logging `openFailure` when the key
// cannot be opened and `written` with the write's result; the registry result.
LSTATUS WriteFilterSubkeyDword(const char* subkey, DWORD value, const char* openFailure, const char* written);

// Starts the warning program in the user's session and waits for it a while.
void ShowUninstallWarningDiag();
