// The Mobile Broadband API as the service uses it: the interface manager with its interface list, each
// interface's id and radio, and the events of interface arrival and removal and of radio changes.
// Only the methods the package calls are declared; the ids are the emulation's own.
#pragma once

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

typedef enum MBN_RADIO {
    MBN_RADIO_OFF = 0,
    MBN_RADIO_ON = 1,
} MBN_RADIO;

struct IMbnInterface : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
};

struct IMbnRadio : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* SoftwareRadioState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* HardwareRadioState) = 0;
};

struct IMbnInterfaceManager : IUnknown {
    // A one-dimensional SAFEARRAY of VT_UNKNOWN IMbnInterface pointers, possibly empty.
    virtual HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** mbnInterfaces) = 0;
};

struct IMbnInterfaceManagerEvents : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) = 0;
};

struct IMbnRadioEvents : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface, ULONG requestID,
                                                                      HRESULT status) = 0;
};

DEFINE_GUID(CLSID_MbnInterfaceManager, 0x5b7e19c0, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5, 0x08);
DEFINE_GUID(IID_IMbnInterfaceManager, 0x5b7e19c1, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5, 0x08);
DEFINE_GUID(IID_IMbnInterface, 0x5b7e19c2, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5, 0x08);
DEFINE_GUID(IID_IMbnRadio, 0x5b7e19c3, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5, 0x08);
DEFINE_GUID(IID_IMbnInterfaceManagerEvents, 0x5b7e19c4, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5,
            0x08);
DEFINE_GUID(IID_IMbnRadioEvents, 0x5b7e19c5, 0x3f2a, 0x4d86, 0xa4, 0x1c, 0x90, 0x6e, 0x2b, 0x37, 0xf5, 0x08);
