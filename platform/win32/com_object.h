// What the emulated COM objects share: their reference count, the count of live objects, and the
// classes CoCreateInstance can make.
#pragma once

#include <unknwn.h>

#include <atomic>

namespace host::com {

// The reference count of an emulated object, which deletes itself at 0; every live one is counted.
class Counted
{
  public:
    Counted();
    virtual ~Counted();
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

    ULONG Take() { return ++references_; }
    ULONG Drop()
    {
        ULONG count = --references_;
        if (count == 0)
            delete this;
        return count;
    }

  private:
    std::atomic<ULONG> references_{1};
};

// Makes a new object of the class answering `riid` (its reference taken for the caller).
using ClassFactory = HRESULT (*)(REFIID riid, void** object);
// Registers a class for CoCreateInstance (at static initialisation of the platform).
bool RegisterClass(REFCLSID clsid, ClassFactory factory);

} // namespace host::com

// IUnknown's counting for a class deriving from Counted.
#define HOST_COM_COUNTING                                                                                       \
    ULONG STDMETHODCALLTYPE AddRef() override { return Take(); }                                               \
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }
