// Stands in for the adapter's transmit-completion path: records each chain it is handed. The IPC
// glue's chain completion counts the chain and completes it there.
#pragma once

#include "IpcNet.h"

#include <vector>

namespace doubles
{

// The chains handed to WwanTx_IndicateCompletions, in order.
std::vector<struct sk_buff*> TxCompletions();
void ClearTxCompletions();

} // namespace doubles
