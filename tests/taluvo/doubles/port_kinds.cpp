// Stands in for the port kinds' operation records that the port tables name: every slot empty, so the
// port layer skips them. Tests that need a kind's behaviour put their own records in the rows.
#include "ccci_port.h"

const struct ccci_port_ops port_char_ops = {};
const struct ccci_port_ops port_sys_ops = {};
const struct ccci_port_ops port_ctrl_ops = {};
const struct ccci_port_ops port_poll_ops = {};
