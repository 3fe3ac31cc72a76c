// The ccmni layer: network devices per data channel over the DPMAIF instance.
#include "ccmni.h"

#include "dpmaif.h"

int ccmni_capabilities(struct ccmni_ctl_block* ctl)
{
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "capabilities: no ccmni record");
        return -22;
    }
    return (int)ctl->capabilities;
}

void ccmni_queue_state_hook(struct ccmni_ctl_block*) {}
