// Stands in for the IPC glue's net-link registration: each added net device gets a link record {255,
// its index, itself} until it is removed; the calls are recorded and an add can be made to fail.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "IpcNet.h"

namespace doubles
{

struct NetLinks {
    // "add NAME" / "remove NAME", in order.
    std::vector<std::string> calls;
    // The add with this number (0 = the first after the reset) returns add_error instead.
    int fail_add_at = -1;
    int add_error = -12;
    int adds = 0;
    // Runs inside each remove, before the link record goes.
    std::function<void(struct net_device*)> on_remove;
};

// Reset by each test that uses it.
NetLinks& NetLinksState();
// Net devices registered now.
size_t NetLinkCount();

} // namespace doubles
