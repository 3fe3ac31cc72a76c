// COM as the package uses it: the process's multithreaded apartment, object creation from the classes
// the host serves, BSTRs and one-dimensional safe arrays of interface pointers.
#include <objbase.h>
#include <oleauto.h>

#include <host/mbn.h>
#include <host/process.h>

#include "com_object.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace host::com {
namespace {

std::atomic<long> g_liveObjects{0};

struct Apartments {
    std::mutex lock;
    std::map<ULONG, ULONG> members;             // process id -> threads in its multithreaded apartment
    std::map<ULONG, std::pair<ULONG, HRESULT>> createFailures; // process id -> {count, result}
    std::vector<std::pair<CLSID, ClassFactory>> classes;
};

Apartments& A()
{
    static Apartments* apartments = new Apartments;
    return *apartments;
}

// Calls of CoInitializeEx of this thread not yet matched by CoUninitialize.
thread_local ULONG t_initialised = 0;

} // namespace

Counted::Counted() { ++g_liveObjects; }
Counted::~Counted() { --g_liveObjects; }

bool RegisterClass(REFCLSID clsid, ClassFactory factory)
{
    std::lock_guard<std::mutex> guard(A().lock);
    A().classes.emplace_back(clsid, factory);
    return true;
}

} // namespace host::com

namespace host {

long ComLiveObjects() { return com::g_liveObjects.load(); }

void ComFailNextCreateInstance(ULONG count, HRESULT result)
{
    std::lock_guard<std::mutex> guard(com::A().lock);
    com::A().createFailures[CurrentProcess().id] = {count, result};
}

} // namespace host

using namespace host;
using namespace host::com;

namespace {

// The BSTR's length in bytes sits right before its text.
struct BstrBlock {
    UINT bytes;
    OLECHAR text[1];
};

BstrBlock* BlockOf(BSTR text)
{
    return reinterpret_cast<BstrBlock*>(reinterpret_cast<char*>(text) - offsetof(BstrBlock, text));
}

bool InBounds(const SAFEARRAY* array, const LONG* index)
{
    const SAFEARRAYBOUND& bound = array->rgsabound[0];
    return *index >= bound.lLbound && LONGLONG(*index) - bound.lLbound < LONGLONG(bound.cElements);
}

HRESULT Bound(SAFEARRAY* array, UINT dimension, LONG* bound, bool upper)
{
    if (array == nullptr || bound == nullptr)
        return E_INVALIDARG;
    if (dimension != 1)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& bounds = array->rgsabound[0];
    *bound = upper ? static_cast<LONG>(LONGLONG(bounds.lLbound) + bounds.cElements - 1) : bounds.lLbound;
    return S_OK;
}

IUnknown** Slot(SAFEARRAY* array, const LONG* index)
{
    return static_cast<IUnknown**>(array->pvData) + (*index - array->rgsabound[0].lLbound);
}

} // namespace

extern "C" {

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit)
{
    if (dwCoInit & COINIT_APARTMENTTHREADED)
        return RPC_E_CHANGED_MODE;
    if (t_initialised++ > 0)
        return S_FALSE;
    std::lock_guard<std::mutex> guard(A().lock);
    A().members[CurrentProcess().id]++;
    return S_OK;
}

void CoUninitialize(void)
{
    if (t_initialised == 0 || --t_initialised > 0)
        return;
    std::lock_guard<std::mutex> guard(A().lock);
    auto it = A().members.find(CurrentProcess().id);
    if (it != A().members.end() && --it->second == 0)
        A().members.erase(it);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    ClassFactory factory = nullptr;
    {
        std::lock_guard<std::mutex> guard(A().lock);
        ULONG process = CurrentProcess().id;
        if (A().members.count(process) == 0)
            return CO_E_NOTINITIALIZED;
        auto failure = A().createFailures.find(process);
        if (failure != A().createFailures.end() && failure->second.first > 0) {
            failure->second.first--;
            return failure->second.second;
        }
        for (const auto& [clsid, make] : A().classes)
            if (clsid == rclsid)
                factory = make;
    }
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (factory == nullptr)
        return REGDB_E_CLASSNOTREG;
    return factory(riid, ppv);
}

BSTR SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr)
        return nullptr;
    size_t length = std::char_traits<char16_t>::length(psz);
    auto* block = static_cast<BstrBlock*>(::operator new(offsetof(BstrBlock, text) + (length + 1) * sizeof(OLECHAR),
                                                         std::nothrow));
    if (block == nullptr)
        return nullptr;
    block->bytes = static_cast<UINT>(length * sizeof(OLECHAR));
    std::char_traits<char16_t>::copy(block->text, psz, length + 1);
    return block->text;
}

void SysFreeString(BSTR bstrString)
{
    if (bstrString != nullptr)
        ::operator delete(BlockOf(bstrString));
}

UINT SysStringLen(BSTR pbstr) { return pbstr != nullptr ? BlockOf(pbstr)->bytes / sizeof(OLECHAR) : 0; }

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    if (vt != VT_UNKNOWN)
        return nullptr;
    auto* array = new (std::nothrow) SAFEARRAY{};
    if (array == nullptr)
        return nullptr;
    array->cDims = 1;
    array->cbElements = sizeof(IUnknown*);
    array->rgsabound[0] = SAFEARRAYBOUND{cElements, lLbound};
    array->pvData = new (std::nothrow) IUnknown* [cElements == 0 ? 1 : cElements] {};
    if (array->pvData == nullptr) {
        delete array;
        return nullptr;
    }
    return array;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) { return Bound(psa, nDim, plLbound, false); }

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) { return Bound(psa, nDim, plUbound, true); }

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (psa == nullptr || rgIndices == nullptr || pv == nullptr)
        return E_INVALIDARG;
    if (!InBounds(psa, rgIndices))
        return DISP_E_BADINDEX;
    IUnknown* element = *Slot(psa, rgIndices);
    if (element != nullptr)
        element->AddRef();
    *static_cast<IUnknown**>(pv) = element;
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (psa == nullptr || rgIndices == nullptr)
        return E_INVALIDARG;
    if (!InBounds(psa, rgIndices))
        return DISP_E_BADINDEX;
    auto* element = static_cast<IUnknown*>(pv);
    if (element != nullptr)
        element->AddRef();
    IUnknown*& slot = *Slot(psa, rgIndices);
    if (slot != nullptr)
        slot->Release();
    slot = element;
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (psa == nullptr)
        return S_OK;
    auto** elements = static_cast<IUnknown**>(psa->pvData);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; i++)
        if (elements[i] != nullptr)
            elements[i]->Release();
    delete[] elements;
    delete psa;
    return S_OK;
}

} // extern "C"
