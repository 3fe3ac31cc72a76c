// The Mobile Broadband API's event sinks: interface arrivals and removals drive the worker's interface
// event, radio changes are written to BrennickCellular for the filter. Each sink counts its references
// and deletes itself at 0.
#pragma once

#include <mbnapi.h>

#include <atomic>

class CMbnInterfaceManagerEventsMonitor : public IMbnInterfaceManagerEvents
{
  public:
    CMbnInterfaceManagerEventsMonitor() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) override;
    virtual ~CMbnInterfaceManagerEventsMonitor() = default;

  private:
    std::atomic<LONG> m_refCount{0};
};

class CMbnRadioEvents : public IMbnRadioEvents
{
  public:
    CMbnRadioEvents() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* radio) override;
    HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestID,
                                                              HRESULT status) override;
    virtual ~CMbnRadioEvents() = default;

  private:
    std::atomic<LONG> m_refCount{0};
};

// Advise the two sinks on a new interface manager's connection points, filling the worker's fields;
// the HRESULT of the last step that ran.
HRESULT RegisterMbnInterfaceMonitorEvent();
HRESULT RegisterRadioStateCallback();
