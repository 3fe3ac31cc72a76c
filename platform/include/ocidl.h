// Connection points: how an object's outgoing event interfaces reach the sinks advised on them.
#pragma once

#include <unknwn.h>

struct IConnectionPoint : IUnknown {
    // Queries the sink for the point's event interface and keeps that reference until Unadvise; the
    // cookie names the connection.
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie the point did not give out.
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
};

struct IConnectionPointContainer : IUnknown {
    // CONNECT_E_NOCONNECTION for an event interface the object does not raise.
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

// The emulation's own ids.
DEFINE_GUID(IID_IConnectionPoint, 0x8a0d3e51, 0x26c4, 0x4f9b, 0xb1, 0x73, 0x5e, 0x02, 0x9d, 0x64, 0xa8, 0x3c);
DEFINE_GUID(IID_IConnectionPointContainer, 0x8a0d3e52, 0x26c4, 0x4f9b, 0xb1, 0x73, 0x5e, 0x02, 0x9d, 0x64, 0xa8, 0x3c);
