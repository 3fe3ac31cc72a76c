// What the port layer needs of the modem object: finding it, its index, the control ports of its two
// cores' handshake records, and its HIF status request. Only modem 0 exists.
#pragma once

#include "kal.h"

struct ccci_md;
struct ccci_port;

#define CCCI_CORE_MD 0
#define CCCI_CORE_SAP 1

// HIF status request bits (hif_flags): dump the SAP CLDMA's status.
#define CCCI_HIF_FLAG_DUMP_SAP 0x40000u

// The object of modem `index`, or none (any index but 0, or before it was registered).
struct ccci_md* ccci_md_get(u32 index);
u32 ccci_md_get_id(const struct ccci_md* md);
// The port the handshake of core `core_id` sends on.
void ccci_md_set_ctrl_port(struct ccci_md* md, u32 core_id, struct ccci_port* port);
// The modem object's HIF status request (dumps to the trace); a missing object is traced.
void ccci_md_hif_flags(u32 index, u32 flags, void* buffer, u32 length);
