#include "dpmaif_irqs.h"

std::vector<doubles::DlIrqCall>& doubles::DlIrqCalls()
{
    static std::vector<DlIrqCall> calls;
    return calls;
}

void dpmaif_mask_dl_irqs(struct dpmaif_hif* instance)
{
    doubles::DlIrqCalls().emplace_back("mask", instance);
}

void dpmaif_unmask_dl_irqs(struct dpmaif_hif* instance)
{
    doubles::DlIrqCalls().emplace_back("unmask", instance);
}

void dpmaif_unmask_dl_done_irqs(struct dpmaif_hif* instance)
{
    doubles::DlIrqCalls().emplace_back("unmask done", instance);
}
