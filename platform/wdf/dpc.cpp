// Framework DPCs over kernel DPCs.
#include "fx.h"

#include <host/verifier.h>

#include <new>

namespace fx
{
namespace
{

void RunDpc(PKDPC, PVOID context, PVOID, PVOID);

struct Dpc : Object {
    explicit Dpc(const WDF_DPC_CONFIG& config) : Object(Kind::Dpc), config(config)
    {
        KeInitializeDpc(&dpc, RunDpc, this);
    }
    void Dispose() override { Cancel(true); }
    BOOLEAN Cancel(bool wait);

    WDF_DPC_CONFIG config{};
    KDPC dpc{};
};

void RunDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* dpc = static_cast<Dpc*>(context);
    Reference(dpc);
    {
        CallbackScope scope(dpc, "EvtDpcFunc", dpc->config.AutomaticSerialization);
        dpc->config.EvtDpcFunc(reinterpret_cast<WDFDPC>(ToHandle(dpc)));
    }
    RunDeferredDeletions();
    Dereference(dpc);
}

BOOLEAN Dpc::Cancel(bool wait)
{
    BOOLEAN removed = KeRemoveQueueDpc(&dpc);
    if (wait) {
        if (InOwnCallback(this))
            host::VerifierReport(host::Check::FlushFromOwnCallback,
                                 "WdfDpcCancel with wait from the DPC itself");
        else
            KeFlushQueuedDpcs();
    }
    return removed;
}

} // namespace
} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC* Dpc)
{
    if (Dpc == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Dpc = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_DPC_CONFIG) || Config->EvtDpcFunc == nullptr ||
        Attributes == nullptr || Attributes->ParentObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    WDFDPC created = nullptr;
    NTSTATUS status =
        Publish(new (std::nothrow) fx::Dpc(*Config), Attributes, nullptr, _ReturnAddress(), &created);
    if (NT_SUCCESS(status)) // DPCs run at DISPATCH_LEVEL
        status = CheckSerialization(static_cast<Object*>(static_cast<WDFOBJECT>(created)),
                                    Config->AutomaticSerialization, false);
    if (NT_SUCCESS(status))
        *Dpc = created;
    return status;
}

BOOLEAN WdfDpcEnqueue(WDFDPC Dpc)
{
    auto* dpc = As<fx::Dpc>(Dpc, Kind::Dpc, "WdfDpcEnqueue");
    return dpc == nullptr ? FALSE : KeInsertQueueDpc(&dpc->dpc, nullptr, nullptr);
}

BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait)
{
    auto* dpc = As<fx::Dpc>(Dpc, Kind::Dpc, "WdfDpcCancel");
    return dpc == nullptr ? FALSE : dpc->Cancel(Wait != FALSE);
}

WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc)
{
    auto* dpc = As<fx::Dpc>(Dpc, Kind::Dpc, "WdfDpcGetParentObject");
    return dpc == nullptr ? nullptr : ToHandle(dpc->parent);
}

PKDPC WdfDpcWdmGetDpc(WDFDPC Dpc)
{
    auto* dpc = As<fx::Dpc>(Dpc, Kind::Dpc, "WdfDpcWdmGetDpc");
    return dpc == nullptr ? nullptr : &dpc->dpc;
}

} // extern "C"
