// The Mobile Broadband API's objects: the interface manager (with the connection points of the
// interface-manager and radio events), the interfaces it lists and their radios. One table of present
// interfaces serves every manager, as the real API serves one machine; the sinks advised on any manager
// hear every event. Events are raised by the host controls on a thread of the API each, chained so that
// they are delivered in the order they were raised; each sink is called in the process that advised it.
#include <handleapi.h>
#include <mbnapi.h>
#include <processthreadsapi.h>
#include <synchapi.h>

#include <host/mbn.h>
#include <host/process.h>

#include "com_object.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace host {
namespace {

struct PresentInterface {
    std::u16string id;
    MBN_RADIO software = MBN_RADIO_OFF;
    MBN_RADIO hardware = MBN_RADIO_OFF;
};

struct Advised {
    IID events;
    DWORD cookie;
    IUnknown* sink; // the event interface, referenced
    std::shared_ptr<Process> process;
};

struct Api {
    std::mutex lock;
    std::vector<PresentInterface> interfaces;
    std::map<std::u16string, MbnInterfaceFailures> failures;
    ULONG getInterfacesFailures = 0;
    HRESULT getInterfacesResult = S_OK;
    HRESULT noInterfaceResult = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    std::function<void()> onGetInterfaces;
    std::vector<std::pair<IID, HRESULT>> findFailures;
    std::vector<Advised> advised;
    DWORD lastManagerCookie = 0;
    DWORD lastRadioCookie = 0;
    HANDLE lastEvent = nullptr; // the thread of the last event raised, which the next one waits for
    std::atomic<int> pending{0};
};

Api& TheApi()
{
    static Api* api = new Api;
    return *api;
}

bool IsEventInterface(REFIID riid) { return riid == IID_IMbnInterfaceManagerEvents || riid == IID_IMbnRadioEvents; }

// An interface and its radio: one object, as the real API's interface answers IID_IMbnRadio.
class MbnInterface final : public IMbnInterface, public IMbnRadio, public com::Counted
{
  public:
    explicit MbnInterface(std::u16string id) : id_(std::move(id)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMbnInterface) {
            *object = static_cast<IMbnInterface*>(this);
        } else if (riid == IID_IMbnRadio) {
            HRESULT failure = Failures().radioQuery;
            if (FAILED(failure))
                return failure;
            *object = static_cast<IMbnRadio*>(this);
        } else {
            return E_NOINTERFACE;
        }
        Take();
        return S_OK;
    }
    HOST_COM_COUNTING

    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) override
    {
        if (InterfaceID == nullptr)
            return E_POINTER;
        *InterfaceID = SysAllocString(id_.c_str());
        return *InterfaceID != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* state) override
    {
        return ReadRadio(state, &MbnInterfaceFailures::softwareState, &PresentInterface::software);
    }
    HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* state) override
    {
        return ReadRadio(state, &MbnInterfaceFailures::hardwareState, &PresentInterface::hardware);
    }

  private:
    MbnInterfaceFailures Failures() const
    {
        std::lock_guard<std::mutex> guard(TheApi().lock);
        auto it = TheApi().failures.find(id_);
        return it != TheApi().failures.end() ? it->second : MbnInterfaceFailures{};
    }

    // An interface that has gone answers as the real API does for a removed device.
    HRESULT ReadRadio(MBN_RADIO* state, HRESULT MbnInterfaceFailures::*failure, MBN_RADIO PresentInterface::*value) const
    {
        if (state == nullptr)
            return E_POINTER;
        HRESULT injected = Failures().*failure;
        if (FAILED(injected))
            return injected;
        std::lock_guard<std::mutex> guard(TheApi().lock);
        for (const PresentInterface& present : TheApi().interfaces)
            if (present.id == id_) {
                *state = present.*value;
                return S_OK;
            }
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }

    std::u16string id_;
};

class ConnectionPoint final : public IConnectionPoint, public com::Counted
{
  public:
    ConnectionPoint(REFIID events, IUnknown* container) : events_(events), container_(container)
    {
        container_->AddRef();
    }
    ~ConnectionPoint() override { container_->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IConnectionPoint)
            return E_NOINTERFACE;
        *object = static_cast<IConnectionPoint*>(this);
        Take();
        return S_OK;
    }
    HOST_COM_COUNTING

    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        if (pUnkSink == nullptr || pdwCookie == nullptr)
            return E_POINTER;
        *pdwCookie = 0;
        IUnknown* sink = nullptr;
        HRESULT result = pUnkSink->QueryInterface(events_, reinterpret_cast<void**>(&sink));
        if (FAILED(result))
            return result;
        std::lock_guard<std::mutex> guard(TheApi().lock);
        DWORD cookie = ++(events_ == IID_IMbnRadioEvents ? TheApi().lastRadioCookie : TheApi().lastManagerCookie);
        TheApi().advised.push_back(Advised{events_, cookie, sink, CurrentProcessShared()});
        *pdwCookie = cookie;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        IUnknown* sink = nullptr;
        {
            std::lock_guard<std::mutex> guard(TheApi().lock);
            auto& advised = TheApi().advised;
            for (auto it = advised.begin(); it != advised.end(); ++it)
                if (it->events == events_ && it->cookie == dwCookie) {
                    sink = it->sink;
                    advised.erase(it);
                    break;
                }
        }
        if (sink == nullptr)
            return CONNECT_E_NOCONNECTION;
        sink->Release();
        return S_OK;
    }

  private:
    IID events_;
    IUnknown* container_;
};

class InterfaceManager final : public IMbnInterfaceManager, public IConnectionPointContainer, public com::Counted
{
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMbnInterfaceManager)
            *object = static_cast<IMbnInterfaceManager*>(this);
        else if (riid == IID_IConnectionPointContainer)
            *object = static_cast<IConnectionPointContainer*>(this);
        else
            return E_NOINTERFACE;
        Take();
        return S_OK;
    }
    HOST_COM_COUNTING

    HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** mbnInterfaces) override
    {
        if (mbnInterfaces == nullptr)
            return E_POINTER;
        *mbnInterfaces = nullptr;
        std::function<void()> hook;
        std::vector<std::u16string> ids;
        {
            std::lock_guard<std::mutex> guard(TheApi().lock);
            hook = TheApi().onGetInterfaces;
            if (TheApi().getInterfacesFailures > 0) {
                TheApi().getInterfacesFailures--;
                return TheApi().getInterfacesResult;
            }
            for (const PresentInterface& present : TheApi().interfaces)
                ids.push_back(present.id);
            if (ids.empty() && FAILED(TheApi().noInterfaceResult))
                return TheApi().noInterfaceResult;
        }
        if (hook)
            hook();
        SAFEARRAY* array = SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(ids.size()));
        if (array == nullptr)
            return E_OUTOFMEMORY;
        for (LONG i = 0; i < LONG(ids.size()); i++) {
            auto* item = new MbnInterface(ids[i]);
            SafeArrayPutElement(array, &i, static_cast<IMbnInterface*>(item));
            item->Release();
        }
        *mbnInterfaces = array;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        if (ppCP == nullptr)
            return E_POINTER;
        *ppCP = nullptr;
        if (!IsEventInterface(riid))
            return CONNECT_E_NOCONNECTION;
        {
            std::lock_guard<std::mutex> guard(TheApi().lock);
            for (const auto& [events, result] : TheApi().findFailures)
                if (events == riid && FAILED(result))
                    return result;
        }
        *ppCP = new ConnectionPoint(riid, static_cast<IConnectionPointContainer*>(this));
        return S_OK;
    }
};

HRESULT MakeInterfaceManager(REFIID riid, void** object)
{
    auto* manager = new InterfaceManager;
    HRESULT result = manager->QueryInterface(riid, object);
    static_cast<IMbnInterfaceManager*>(manager)->Release();
    return result;
}

const bool g_registered = com::RegisterClass(CLSID_MbnInterfaceManager, MakeInterfaceManager);

// One event: the sinks of its interface, each called with a fresh object of the interface concerned.
struct Event {
    IID events;
    std::u16string id;
    bool arrival = false; // for the interface-manager events: arrival or removal
    HANDLE previous = nullptr;
};

DWORD WINAPI EventThread(LPVOID context)
{
    std::unique_ptr<Event> event(static_cast<Event*>(context));
    if (event->previous != nullptr) {
        WaitForSingleObject(event->previous, INFINITE);
        CloseHandle(event->previous);
    }
    std::vector<Advised> sinks;
    {
        std::lock_guard<std::mutex> guard(TheApi().lock);
        for (const Advised& advised : TheApi().advised)
            if (advised.events == event->events) {
                advised.sink->AddRef();
                sinks.push_back(advised);
            }
    }
    auto* item = new MbnInterface(event->id);
    for (const Advised& advised : sinks) {
        SetCurrentProcess(advised.process);
        if (event->events == IID_IMbnRadioEvents) {
            static_cast<IMbnRadioEvents*>(advised.sink)->OnRadioStateChange(item);
        } else {
            auto* sink = static_cast<IMbnInterfaceManagerEvents*>(advised.sink);
            if (event->arrival)
                sink->OnInterfaceArrival(item);
            else
                sink->OnInterfaceRemoval(item);
        }
        advised.sink->Release();
    }
    SetCurrentProcess(nullptr);
    static_cast<IMbnInterface*>(item)->Release();
    TheApi().pending--;
    return 0;
}

void Raise(REFIID events, std::u16string_view id, bool arrival)
{
    auto* event = new Event{events, std::u16string(id), arrival, nullptr};
    std::lock_guard<std::mutex> guard(TheApi().lock);
    event->previous = TheApi().lastEvent;
    TheApi().lastEvent = nullptr;
    TheApi().pending++;
    HANDLE thread = CreateThread(nullptr, 0, EventThread, event, 0, nullptr);
    if (thread == nullptr) {
        // Without a thread the event is lost, as the API drops what it cannot deliver; the chain goes on.
        TheApi().pending--;
        TheApi().lastEvent = event->previous;
        delete event;
        return;
    }
    TheApi().lastEvent = thread;
}

} // namespace

void MbnAddInterface(std::u16string_view id, MBN_RADIO software, MBN_RADIO hardware)
{
    {
        std::lock_guard<std::mutex> guard(TheApi().lock);
        TheApi().interfaces.push_back(PresentInterface{std::u16string(id), software, hardware});
    }
    Raise(IID_IMbnInterfaceManagerEvents, id, true);
}

void MbnRemoveInterface(std::u16string_view id)
{
    {
        std::lock_guard<std::mutex> guard(TheApi().lock);
        std::erase_if(TheApi().interfaces, [&](const PresentInterface& present) { return present.id == id; });
    }
    Raise(IID_IMbnInterfaceManagerEvents, id, false);
}

void MbnSetRadioState(std::u16string_view id, MBN_RADIO software, MBN_RADIO hardware)
{
    {
        std::lock_guard<std::mutex> guard(TheApi().lock);
        for (PresentInterface& present : TheApi().interfaces)
            if (present.id == id) {
                present.software = software;
                present.hardware = hardware;
            }
    }
    Raise(IID_IMbnRadioEvents, id, false);
}

bool MbnEventsDelivered() { return TheApi().pending.load() == 0; }

void MbnSetInterfaceFailures(std::u16string_view id, const MbnInterfaceFailures& failures)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    TheApi().failures[std::u16string(id)] = failures;
}

void MbnFailGetInterfaces(ULONG count, HRESULT result)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    TheApi().getInterfacesFailures = count;
    TheApi().getInterfacesResult = result;
}

void MbnFailFindConnectionPoint(REFIID events, HRESULT result)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    TheApi().findFailures.emplace_back(events, result);
    // The latest word for an interface holds: drop the earlier ones.
    auto& failures = TheApi().findFailures;
    for (size_t i = 0; i + 1 < failures.size();)
        if (failures[i].first == events)
            failures.erase(failures.begin() + i);
        else
            i++;
}

void MbnSetNoInterfaceResult(HRESULT result)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    TheApi().noInterfaceResult = result;
}

void MbnOnGetInterfaces(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    TheApi().onGetInterfaces = std::move(hook);
}

size_t MbnAdvisedSinks(REFIID events)
{
    std::lock_guard<std::mutex> guard(TheApi().lock);
    size_t count = 0;
    for (const Advised& advised : TheApi().advised)
        count += advised.events == events;
    return count;
}

} // namespace host
