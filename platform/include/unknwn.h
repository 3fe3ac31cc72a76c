// The COM base: interface ids, IUnknown and its reference counting. Interfaces are C++ classes with
// pure virtual methods, so their tables of virtual operations are what COM callers and objects share.
#pragma once

#include <windef.h>
#include <winerror.h>

typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method

// The emulation's own id of IUnknown.
DEFINE_GUID(IID_IUnknown, 0x3c4f8a62, 0x5d1e, 0x4b27, 0x9e, 0x40, 0x1a, 0x6b, 0x7c, 0x82, 0xd3, 0x15);

struct IUnknown {
    // S_OK with the interface in *object and a reference taken; E_NOINTERFACE with *object null.
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    // Both return the new count, which callers may only use for diagnostics.
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;
