// COM start-up and object creation, as far as user-mode code of the package uses them: the process's
// multithreaded apartment only.
#pragma once

#include <unknwn.h>
#include <oleauto.h>

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
} COINIT;

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

extern "C" {

// The calling thread joins the process's multithreaded apartment: S_OK, S_FALSE when it already has,
// RPC_E_CHANGED_MODE for a single-threaded apartment (which the host does not offer). Each successful
// call is matched by a CoUninitialize; the apartment lives while any thread of the process is in it.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize(void);
// CO_E_NOTINITIALIZED when the calling process has no apartment, CLASS_E_NOAGGREGATION with an outer
// object, REGDB_E_CLASSNOTREG for a class the host does not serve, E_NOINTERFACE for an interface the
// object does not answer; *ppv is null on every failure.
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

} // extern "C"
