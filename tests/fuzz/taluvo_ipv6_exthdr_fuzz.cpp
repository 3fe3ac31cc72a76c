// The IPv6 extension-header skip over an arbitrary received packet: it reads only inside the head data
// (the buffer is exactly the packet, so a read past it is a read past the allocation) and always ends.
#include <cstdint>
#include <cstring>

#include "skbuff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte is the next-header value the fixed header named; the rest is what follows it.
    if (size < 1 || size > 4096)
        return 0;
    const u32 tag = 0x7A7A7546; // "Fuzz"
    const u32 length = static_cast<u32>(size - 1);
    struct sk_buff* skb = alloc_skb(length, tag);
    if (skb == NULL)
        return 0;
    memcpy(skb_put(skb, length), data + 1, length);
    u8 next = data[0];
    u16 fragment = 0;
    (void)skb_skip_ipv6_exthdr(skb, 0, &next, &fragment);
    kfree_skb(skb, tag);
    return 0;
}
