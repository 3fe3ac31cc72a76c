// COM and the Mobile Broadband API objects: the apartment, object creation and its failures, reference
// counting, the interface list with its radios, connection points and the events raised on the sinks.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbnapi.h>
#include <objbase.h>

#include <host/host.h>
#include <host/mbn.h>
#include <host/process.h>
#include <host_test.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A sink of both event interfaces that records what reaches it.
class Sink final : public IMbnInterfaceManagerEvents, public IMbnRadioEvents
{
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (riid == IID_IMbnInterfaceManagerEvents)
            *object = static_cast<IMbnInterfaceManagerEvents*>(this);
        else if (riid == IID_IMbnRadioEvents)
            *object = static_cast<IMbnRadioEvents*>(this);
        else if (riid == IID_IUnknown)
            *object = static_cast<IMbnInterfaceManagerEvents*>(this);
        else
            return (*object = nullptr, E_NOINTERFACE);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* item) override { return Record("+", item); }
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* item) override { return Record("-", item); }
    HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* radio) override
    {
        MBN_RADIO software = MBN_RADIO_OFF;
        MBN_RADIO hardware = MBN_RADIO_OFF;
        EXPECT_EQ(S_OK, radio->get_SoftwareRadioState(&software));
        EXPECT_EQ(S_OK, radio->get_HardwareRadioState(&hardware));
        std::lock_guard<std::mutex> guard(lock);
        events.push_back("radio " + std::to_string(software) + std::to_string(hardware));
        processes.push_back(GetCurrentProcessId());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio*, ULONG, HRESULT) override { return S_OK; }

    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }

    std::atomic<ULONG> references{0};
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<DWORD> processes;

  private:
    HRESULT Record(const char* what, IMbnInterface* item)
    {
        BSTR id = nullptr;
        EXPECT_EQ(S_OK, item->get_InterfaceID(&id));
        char text[64] = {};
        WideCharToMultiByte(CP_THREAD_ACP, 0, id, -1, text, sizeof(text), nullptr, nullptr);
        SysFreeString(id);
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(std::string(what) + text);
        processes.push_back(GetCurrentProcessId());
        return S_OK;
    }
};

class Win32Com : public testing::Test
{
  protected:
    void SetUp() override
    {
        process_ = host::ProcessCreate(u"C:\\Svc\\Svc.exe");
        host::SetCurrentProcess(process_);
    }
    void TearDown() override
    {
        while (!host::MbnEventsDelivered())
            host::ClockAdvance(0);
        host::SetCurrentProcess(nullptr);
    }

    IMbnInterfaceManager* CreateManager()
    {
        IMbnInterfaceManager* manager = nullptr;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                         reinterpret_cast<void**>(&manager)));
        return manager;
    }

    // The ids and radio states GetInterfaces lists, as "id:sw hw" texts.
    std::vector<std::string> List(IMbnInterfaceManager* manager)
    {
        SAFEARRAY* array = nullptr;
        EXPECT_EQ(S_OK, manager->GetInterfaces(&array));
        LONG lower = 0;
        LONG upper = 0;
        EXPECT_EQ(S_OK, SafeArrayGetLBound(array, 1, &lower));
        EXPECT_EQ(S_OK, SafeArrayGetUBound(array, 1, &upper));
        std::vector<std::string> listed;
        for (LONG i = lower; i <= upper; i++) {
            IMbnInterface* item = nullptr;
            EXPECT_EQ(S_OK, SafeArrayGetElement(array, &i, &item));
            IMbnRadio* radio = nullptr;
            EXPECT_EQ(S_OK, item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&radio)));
            BSTR id = nullptr;
            item->get_InterfaceID(&id);
            MBN_RADIO software = MBN_RADIO_OFF;
            MBN_RADIO hardware = MBN_RADIO_OFF;
            radio->get_SoftwareRadioState(&software);
            radio->get_HardwareRadioState(&hardware);
            char text[64] = {};
            WideCharToMultiByte(CP_THREAD_ACP, 0, id, -1, text, sizeof(text), nullptr, nullptr);
            listed.push_back(std::string(text) + ":" + std::to_string(software) + " " + std::to_string(hardware));
            SysFreeString(id);
            radio->Release();
            item->Release();
        }
        IUnknown* beyond = nullptr;
        upper++;
        EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(array, &upper, &beyond));
        SafeArrayDestroy(array);
        return listed;
    }

    std::shared_ptr<host::Process> process_;
};

TEST_F(Win32Com, ApartmentAndCreationRules)
{
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&object)));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));

    // Another thread of the process uses the apartment without joining it.
    HANDLE thread = hosttest::StartThread([&] {
        IMbnInterfaceManager* manager = CreateManager();
        IConnectionPointContainer* container = nullptr;
        EXPECT_EQ(S_OK, manager->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        IUnknown* unknown = nullptr;
        EXPECT_EQ(S_OK, container->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
        EXPECT_EQ(static_cast<IUnknown*>(manager), unknown);
        EXPECT_EQ(E_NOINTERFACE, manager->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&object)));
        EXPECT_EQ(E_POINTER, manager->QueryInterface(IID_IUnknown, nullptr));
        EXPECT_EQ(1, host::ComLiveObjects());
        unknown->Release();
        container->Release();
        EXPECT_EQ(0u, manager->Release());
        EXPECT_EQ(0, host::ComLiveObjects());
    });
    hosttest::JoinThread(thread);

    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(IID_IMbnRadio, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&object)));
    host::ComFailNextCreateInstance(1, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                                              reinterpret_cast<void**>(&object)));
    CreateManager()->Release();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&object)));
}

TEST_F(Win32Com, InterfaceListRadiosAndInjectedFailures)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMbnInterfaceManager* manager = CreateManager();
    SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), manager->GetInterfaces(&array));
    EXPECT_EQ(nullptr, array);
    host::MbnSetNoInterfaceResult(S_OK);
    EXPECT_TRUE(List(manager).empty());
    host::MbnAddInterface(u"{A}", MBN_RADIO_ON, MBN_RADIO_OFF);
    host::MbnAddInterface(u"{B}", MBN_RADIO_OFF, MBN_RADIO_ON);
    EXPECT_EQ((std::vector<std::string>{"{A}:1 0", "{B}:0 1"}), List(manager));
    host::MbnSetRadioState(u"{B}", MBN_RADIO_ON, MBN_RADIO_ON);
    host::MbnRemoveInterface(u"{A}");
    EXPECT_EQ((std::vector<std::string>{"{B}:1 1"}), List(manager));

    host::MbnFailGetInterfaces(2, E_FAIL);
    EXPECT_EQ(E_FAIL, manager->GetInterfaces(&array));
    EXPECT_EQ(nullptr, array);
    EXPECT_EQ(E_FAIL, manager->GetInterfaces(&array));
    EXPECT_EQ(S_OK, manager->GetInterfaces(&array));

    host::MbnSetInterfaceFailures(u"{B}", {E_NOINTERFACE, E_ACCESSDENIED, E_HANDLE});
    LONG index = 0;
    IMbnInterface* item = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(array, &index, &item));
    IMbnRadio* radio = reinterpret_cast<IMbnRadio*>(1);
    EXPECT_EQ(E_NOINTERFACE, item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&radio)));
    EXPECT_EQ(nullptr, radio);
    host::MbnSetInterfaceFailures(u"{B}", {S_OK, E_ACCESSDENIED, E_HANDLE});
    ASSERT_EQ(S_OK, item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&radio)));
    MBN_RADIO state = MBN_RADIO_OFF;
    EXPECT_EQ(E_ACCESSDENIED, radio->get_SoftwareRadioState(&state));
    EXPECT_EQ(E_HANDLE, radio->get_HardwareRadioState(&state));
    radio->Release();
    item->Release();
    SafeArrayDestroy(array);
    manager->Release();
    EXPECT_EQ(0, host::ComLiveObjects());
    CoUninitialize();
}

TEST_F(Win32Com, ConnectionPointsCarryEventsInOrderToTheAdvisingProcess)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMbnInterfaceManager* manager = CreateManager();
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(S_OK, manager->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
    IConnectionPoint* managerPoint = nullptr;
    IConnectionPoint* radioPoint = nullptr;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IMbnRadio, &managerPoint));
    host::MbnFailFindConnectionPoint(IID_IMbnRadioEvents, E_FAIL);
    EXPECT_EQ(E_FAIL, container->FindConnectionPoint(IID_IMbnRadioEvents, &radioPoint));
    host::MbnFailFindConnectionPoint(IID_IMbnRadioEvents, S_OK);
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IMbnInterfaceManagerEvents, &managerPoint));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IMbnRadioEvents, &radioPoint));

    Sink first;
    Sink second;
    DWORD cookies[3] = {};
    EXPECT_EQ(S_OK, managerPoint->Advise(static_cast<IMbnInterfaceManagerEvents*>(&first), &cookies[0]));
    EXPECT_EQ(S_OK, managerPoint->Advise(static_cast<IMbnInterfaceManagerEvents*>(&second), &cookies[1]));
    EXPECT_EQ(S_OK, radioPoint->Advise(static_cast<IMbnInterfaceManagerEvents*>(&first), &cookies[2]));
    EXPECT_EQ(1u, cookies[0]);
    EXPECT_EQ(2u, cookies[1]);
    EXPECT_EQ(1u, cookies[2]);
    EXPECT_EQ(2u, first.references.load());
    EXPECT_EQ(2u, host::MbnAdvisedSinks(IID_IMbnInterfaceManagerEvents));

    // Raised from a thread of another process; delivered in the advising one, in the order raised.
    host::SetCurrentProcess(nullptr);
    host::MbnAddInterface(u"{A}", MBN_RADIO_OFF, MBN_RADIO_OFF);
    host::MbnSetRadioState(u"{A}", MBN_RADIO_ON, MBN_RADIO_OFF);
    // The radio is read when the event arrives: it must still be there.
    ASSERT_TRUE(hosttest::WaitUntil([] { return host::MbnEventsDelivered(); }, 10'000'000, 10'000));
    host::MbnRemoveInterface(u"{A}");
    ASSERT_TRUE(hosttest::WaitUntil([] { return host::MbnEventsDelivered(); }, 10'000'000, 10'000));
    EXPECT_EQ((std::vector<std::string>{"+{A}", "radio 10", "-{A}"}), first.Events());
    EXPECT_EQ((std::vector<std::string>{"+{A}", "-{A}"}), second.Events());
    for (DWORD process : first.processes)
        EXPECT_EQ(process_->id, process);
    host::SetCurrentProcess(process_);

    EXPECT_EQ(S_OK, managerPoint->Unadvise(cookies[1]));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, managerPoint->Unadvise(cookies[1]));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, managerPoint->Unadvise(7));
    EXPECT_EQ(0u, second.references.load());
    EXPECT_EQ(S_OK, managerPoint->Unadvise(cookies[0]));
    EXPECT_EQ(S_OK, radioPoint->Unadvise(cookies[2]));
    EXPECT_EQ(0u, first.references.load());
    managerPoint->Release();
    radioPoint->Release();
    container->Release();
    manager->Release();
    EXPECT_EQ(0, host::ComLiveObjects());
    CoUninitialize();
}

TEST(Win32Automation, StringsAndArrayBounds)
{
    BSTR text = SysAllocString(u"{IF}");
    EXPECT_EQ(4u, SysStringLen(text));
    EXPECT_EQ(u"{IF}", std::u16string(text));
    SysFreeString(text);
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    SysFreeString(nullptr);

    SAFEARRAY* array = SafeArrayCreateVector(VT_UNKNOWN, 3, 0);
    LONG lower = 0;
    LONG upper = 0;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(array, 1, &lower));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(array, 1, &upper));
    EXPECT_EQ(3, lower);
    EXPECT_EQ(2, upper); // empty: the upper bound is below the lower one
    IUnknown* element = nullptr;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(array, &lower, &element));
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetLBound(array, 2, &lower));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetUBound(nullptr, 1, &upper));
    EXPECT_EQ(S_OK, SafeArrayDestroy(array));
    EXPECT_EQ(S_OK, SafeArrayDestroy(nullptr));
}

} // namespace
