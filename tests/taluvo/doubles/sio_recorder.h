// Takes the miniport's SIO registration over for tests of the port layer alone: sio_add fills the record
// as the layer does (non-blocking file, a data callback) and remembers it; the data callback counts its
// calls and, when asked, drains the port through its character-device operations as the layer's poll
// does.
// Wraps: sio_add sio_delete
#pragma once

#include "SioPort.h"
#include "port_kinds.h"

#include <map>
#include <vector>

namespace doubles
{

struct Sio {
    int add_result = 0;
    bool drain = false; // the data callback reads what the port has queued into `received`
    std::vector<struct sio_device*> added;
    std::vector<struct sio_device*> deleted;
    std::map<const struct sio_device*, int> callbacks;
    std::map<const struct sio_device*, std::vector<u8>> received;
};

// Reset by each test that uses it.
Sio& SioState();
// The calls of the data callback of `sio` so far (thread-safe).
int SioCallbacks(const struct sio_device* sio);
// The bytes the draining data callback read from `sio` so far (thread-safe).
std::vector<u8> SioReceived(const struct sio_device* sio);
// Writes `data` through the record's write operation as the layer's post-write does: each attempt
// resumes at the count written so far; gives up after `attempts` refusals in a row. Returns the count.
size_t SioWriteAll(struct sio_device* sio, const u8* data, size_t length, int attempts);

} // namespace doubles
