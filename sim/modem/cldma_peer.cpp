#include "sim/modem/cldma_peer.h"

#include "sim/modem/cldma.h"

namespace sim::modem {

void CldmaScriptedPeer::Echo(ULONG txQueue, ULONG rxQueue)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (txQueue < kCldmaQueues)
        echoTo_[txQueue] = rxQueue;
}

void CldmaScriptedPeer::Sink(ULONG txQueue) { Echo(txQueue, kNoRoute); }

void CldmaScriptedPeer::FrameSent(ULONG queue, const UCHAR* data, SIZE_T length)
{
    ULONG echoTo = kNoRoute;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (queue >= kCldmaQueues)
            return;
        frames_[queue].emplace_back(data, data + length);
        echoTo = echoTo_[queue];
    }
    // Outside the peer's lock: the engine takes its own.
    if (echoTo != kNoRoute)
        engine_.Receive(echoTo, std::vector<UCHAR>(data, data + length));
}

std::vector<std::vector<UCHAR>> CldmaScriptedPeer::Frames(ULONG queue) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queue < kCldmaQueues ? frames_[queue] : std::vector<std::vector<UCHAR>>{};
}

size_t CldmaScriptedPeer::FrameCount(ULONG queue) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queue < kCldmaQueues ? frames_[queue].size() : 0;
}

void CldmaScriptedPeer::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& frames : frames_)
        frames.clear();
}

} // namespace sim::modem
