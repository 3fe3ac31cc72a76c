#include "MbnEvents.h"

#include "Log.h"
#include "StateWork.h"

#include <objbase.h>

#include <string>

namespace
{

// Both sinks answer IUnknown and their own event interface with themselves.
template <class Sink>
HRESULT SinkQueryInterface(Sink* sink, REFIID own, REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (riid != IID_IUnknown && riid != own) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = sink;
    sink->AddRef();
    return S_OK;
}

// The new count; at 0 the caller deletes the sink, after its line is logged.
template <class Sink>
ULONG SinkRelease(Sink* sink, std::atomic<LONG>& count, const char* releaseLine)
{
    LONG left = --count;
    if (left == 0) {
        CLog::GetInstance()->WriteLog(2, "%s", releaseLine);
        delete sink;
    }
    return static_cast<ULONG>(left);
}

// The interface's id as ANSI text (empty when it cannot be read).
std::string InterfaceIdText(IMbnInterface* item)
{
    BSTR id = nullptr;
    std::string text;
    if (item != nullptr && SUCCEEDED(item->get_InterfaceID(&id)) && id != nullptr) {
        int size = WideCharToMultiByte(CP_THREAD_ACP, 0, id, -1, nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            text.resize(static_cast<size_t>(size));
            WideCharToMultiByte(CP_THREAD_ACP, 0, id, -1, text.data(), size, nullptr, nullptr);
            text.resize(static_cast<size_t>(size) - 1);
        }
    }
    SysFreeString(id);
    return text;
}

// One event interface's fields of the worker and the lines of its registration's failures.
struct SinkRegistration {
    const IID& events;
    IConnectionPointContainer*& container;
    IConnectionPoint*& point;
    DWORD& cookie;
    const char* createFailed;
    const char* containerFailed;
    const char* findFailed;
    const char* adviseFailed;
};

// Creates a manager, finds the events' connection point, stores a new sink (one reference for the
// worker) and advises it. The manager made here is released on every path; what was stored stays.
template <class Sink>
HRESULT RegisterSink(const SinkRegistration& registration, Sink*& sinkField)
{
    IMbnInterfaceManager* manager = nullptr;
    HRESULT result = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                      reinterpret_cast<void**>(&manager));
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, registration.createFailed, result);
        return result;
    }
    result = manager->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&registration.container));
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, registration.containerFailed, result);
    } else if (FAILED(result = registration.container->FindConnectionPoint(registration.events, &registration.point))) {
        CLog::GetInstance()->WriteLog(2, registration.findFailed, result);
    } else {
        Sink* sink = new Sink();
        sink->AddRef();
        if (sinkField != nullptr)
            sinkField->Release();
        sinkField = sink;
        result = registration.point->Advise(sink, &registration.cookie);
        if (FAILED(result))
            CLog::GetInstance()->WriteLog(2, registration.adviseFailed, result);
    }
    manager->Release();
    return result;
}

} // namespace

HRESULT RegisterMbnInterfaceMonitorEvent()
{
    CStateWork* work = CStateWork::GetInstance();
    return RegisterSink(SinkRegistration{IID_IMbnInterfaceManagerEvents, work->m_managerContainer,
                                         work->m_managerPoint, work->m_managerCookie,
                                         "CoCreateInstance IID_IMbnInterfaceManager Failed(%x)",
                                         "IConnectionPointContainer Failed(%x)",
                                         "FindConnectionPoint IID_IMbnInterfaceManagerEvents Failed(%x)",
                                         "Advise CIMbnInterfaceManagerEventsMonitor Failed(%x)"},
                        work->m_managerSink);
}

HRESULT RegisterRadioStateCallback()
{
    CStateWork* work = CStateWork::GetInstance();
    return RegisterSink(SinkRegistration{IID_IMbnRadioEvents, work->m_radioContainer, work->m_radioPoint,
                                         work->m_radioCookie, "CoCreateInstance IID_IMbnInterfaceManager Failed(%x)\n",
                                         "query radioEventPointContainter Failed(%x)\n",
                                         "FindConnectionPoint IID_IMbnRadioEvents Failed(%x)\n",
                                         "Advise CMbnRadioEvents Failed(%x)\n"},
                        work->m_radioSink);
}

HRESULT CMbnInterfaceManagerEventsMonitor::QueryInterface(REFIID riid, void** object)
{
    return SinkQueryInterface(this, IID_IMbnInterfaceManagerEvents, riid, object);
}

ULONG CMbnInterfaceManagerEventsMonitor::AddRef()
{
    return static_cast<ULONG>(++m_refCount);
}

ULONG CMbnInterfaceManagerEventsMonitor::Release()
{
    return SinkRelease(this, m_refCount, "CMbnInterfaceManagerEventsMonitor::Release Complete");
}

HRESULT CMbnInterfaceManagerEventsMonitor::OnInterfaceArrival(IMbnInterface* newInterface)
{
    CLog::GetInstance()->WriteLog(2, "CMbnConnectionManagerEventsMonitor::OnInterfaceArrival");
    CLog::GetInstance()->WriteLog(2, "OnInterfaceArrival:%s", InterfaceIdText(newInterface).c_str());
    if (g_uninstallHandled == 0) {
        CLog::GetInstance()->WriteLog(2, "Retry TriggerMbbInterfaceMonitorEvent");
        CStateWork::GetInstance()->TriggerMbbInterfaceMonitorEvent(1);
    }
    return S_OK;
}

HRESULT CMbnInterfaceManagerEventsMonitor::OnInterfaceRemoval(IMbnInterface* oldInterface)
{
    CLog::GetInstance()->WriteLog(2, "CMbnConnectionManagerEventsMonitor::OnInterfaceRemoval");
    std::string id = InterfaceIdText(oldInterface);
    int handled = 1;
    g_uninstallHandled.compare_exchange_strong(handled, 0);
    CLog::GetInstance()->WriteLog(2, "OnInterfaceRemoval:%s", id.c_str());
    // A signal the worker has not taken yet is withdrawn.
    CStateWork::GetInstance()->TriggerMbbInterfaceMonitorEvent(0);
    return S_OK;
}

HRESULT CMbnRadioEvents::QueryInterface(REFIID riid, void** object)
{
    return SinkQueryInterface(this, IID_IMbnRadioEvents, riid, object);
}

ULONG CMbnRadioEvents::AddRef()
{
    return static_cast<ULONG>(++m_refCount);
}

ULONG CMbnRadioEvents::Release()
{
    return SinkRelease(this, m_refCount, "CMbnRadioEvents Release Complete");
}

// The hardware state is only logged; the software state is the user's wish that the filter follows.
HRESULT CMbnRadioEvents::OnRadioStateChange(IMbnRadio* radio)
{
    CLog::GetInstance()->WriteLog(2, "CMbnRadioEvents::OnRadioStateChange");
    MBN_RADIO software = MBN_RADIO_OFF;
    MBN_RADIO hardware = MBN_RADIO_OFF;
    HRESULT result = radio->get_SoftwareRadioState(&software);
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, "get_SoftwareRadioState Failed(%x)", result);
        return result;
    }
    result = radio->get_HardwareRadioState(&hardware);
    if (FAILED(result)) {
        CLog::GetInstance()->WriteLog(2, "get_HardwareRadioState Failed(%x)", result);
        return result;
    }
    CLog::GetInstance()->WriteLog(2, "CMbnRadioEvents::software radio:%d---hardware radio:%d", software, hardware);
    WriteFilterSubkeyDword(kRadioStateSubkey, static_cast<DWORD>(software), "Error in RegOpenKeyEx (%d).",
                           "RegSetValueEx REG_RADIO_STATE_KEY %d");
    return result;
}

HRESULT CMbnRadioEvents::OnSetSoftwareRadioStateComplete(IMbnRadio*, ULONG, HRESULT)
{
    CLog::GetInstance()->WriteLog(2, "CMbnRadioEvents::OnSetSoftwareRadioStateComplete");
    return S_OK;
}
