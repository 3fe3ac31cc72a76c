// The modem firmware's side of a CLDMA engine. The engine hands every frame it sends from a transmit
// queue to its peer; the peer answers by queueing frames for the engine's receive queues
// (CldmaEngine::Receive). The firmware model implements CldmaPeer; until it exists, tests script a
// CldmaScriptedPeer: per transmit queue a sink (frames recorded) or an echo (recorded and sent back).
#pragma once

#include <ntdef.h>

#include <array>
#include <mutex>
#include <vector>

namespace sim::modem {

class CldmaEngine;

inline constexpr ULONG kCldmaQueues = 8;

class CldmaPeer {
public:
    virtual ~CldmaPeer() = default;
    // The engine sent `length` bytes from transmit queue `queue`. Runs on the engine's context with no
    // engine lock held, in send order per queue; the peer may queue receive frames from here.
    virtual void FrameSent(ULONG queue, const UCHAR* data, SIZE_T length) = 0;
};

class CldmaScriptedPeer : public CldmaPeer {
public:
    // Frames from transmit queues without a route are only recorded.
    explicit CldmaScriptedPeer(CldmaEngine& engine) : engine_(engine) {}

    // Frames sent on transmit queue `txQueue` are also queued, unchanged, on receive queue `rxQueue`.
    void Echo(ULONG txQueue, ULONG rxQueue);
    void Sink(ULONG txQueue);

    void FrameSent(ULONG queue, const UCHAR* data, SIZE_T length) override;

    // The frames sent on `queue` so far, in order (a copy); Clear forgets them.
    std::vector<std::vector<UCHAR>> Frames(ULONG queue) const;
    size_t FrameCount(ULONG queue) const;
    void Clear();

private:
    static constexpr ULONG kNoRoute = ~0u;

    CldmaEngine& engine_;
    mutable std::mutex lock_;
    std::array<ULONG, kCldmaQueues> echoTo_{kNoRoute, kNoRoute, kNoRoute, kNoRoute,
                                            kNoRoute, kNoRoute, kNoRoute, kNoRoute};
    std::array<std::vector<std::vector<UCHAR>>, kCldmaQueues> frames_;
};

} // namespace sim::modem
