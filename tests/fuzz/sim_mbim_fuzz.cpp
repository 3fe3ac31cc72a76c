// The MBIM codec over arbitrary fragment sequences, as the modem's MBIM function and the host's raw
// clients receive them. Input: records of a 2-byte little-endian length and that many bytes, each one
// fragment fed to the reassembler (the first byte of the input also picks a fragment size for the
// round trip). Whatever arrives, the reassembler hands out only messages whose length fields agree with
// their bytes, and every message the parser accepts builds back to the same bytes and survives
// fragmentation and reassembly unchanged.
#include "sim/mbim/mbim.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

using namespace sim::mbim;

void Check(bool condition)
{
    if (!condition)
        abort();
}

void RoundTrip(const Bytes& whole, size_t maxFragment)
{
    std::optional<Message> message = Parse(whole);
    if (!message)
        return;
    Check(Build(*message) == whole);
    std::vector<Bytes> fragments = Fragment(whole, maxFragment);
    Check(!fragments.empty());
    Reassembler joiner;
    for (size_t i = 0; i < fragments.size(); ++i) {
        Check(fragments[i].size() <= maxFragment || fragments.size() == 1);
        Reassembler::Result r = joiner.Feed(fragments[i]);
        Check(r.error.empty());
        Check(r.message.has_value() == (i + 1 == fragments.size()));
        if (r.message)
            Check(*r.message == whole);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t maxFragment = kCommandInfo + data[0];
    Reassembler joiner;
    size_t at = 1;
    while (size - at >= 2) {
        size_t length = data[at] | size_t(data[at + 1]) << 8;
        at += 2;
        length = std::min(length, size - at);
        Reassembler::Result r = joiner.Feed(View(data + at, length));
        at += length;
        if (!r.message)
            continue;
        Check(r.message->size() >= kHeaderSize);
        Check(ReadU32(*r.message, 4) == r.message->size());
        RoundTrip(*r.message, maxFragment);
    }
    return 0;
}
