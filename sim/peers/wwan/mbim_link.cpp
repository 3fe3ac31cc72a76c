// The MBIM host seen by the miniport edge, and the fake one of the unit tests.
#include "mbim_link.h"

#include <algorithm>

namespace peers
{

MbimServiceId MbimServiceIdOf(const GUID& guid)
{
    MbimServiceId id{};
    for (int i = 0; i < 4; i++)
        id.bytes[i] = UCHAR(guid.Data1 >> (24 - 8 * i));
    id.bytes[4] = UCHAR(guid.Data2 >> 8);
    id.bytes[5] = UCHAR(guid.Data2);
    id.bytes[6] = UCHAR(guid.Data3 >> 8);
    id.bytes[7] = UCHAR(guid.Data3);
    std::copy(guid.Data4, guid.Data4 + 8, id.bytes + 8);
    return id;
}

GUID GuidOfMbimServiceId(const MbimServiceId& id)
{
    GUID guid{};
    guid.Data1 = ULONG(id.bytes[0]) << 24 | ULONG(id.bytes[1]) << 16 | ULONG(id.bytes[2]) << 8 | id.bytes[3];
    guid.Data2 = USHORT(id.bytes[4] << 8 | id.bytes[5]);
    guid.Data3 = USHORT(id.bytes[6] << 8 | id.bytes[7]);
    std::copy(id.bytes + 8, id.bytes + 16, guid.Data4);
    return guid;
}

ULONG FakeMbimHost::NextTransactionId()
{
    std::lock_guard<std::mutex> guard(lock_);
    return next_++;
}

bool FakeMbimHost::SendCommand(const MbimCommand& command)
{
    std::function<void(const MbimCommand&)> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!sessionOpen)
            return false;
        commands_.push_back(command);
        hook = answer;
    }
    if (hook)
        hook(command);
    return true;
}

void FakeMbimHost::Subscribe(MbimClient* client)
{
    std::lock_guard<std::mutex> guard(lock_);
    clients_.push_back(client);
}

void FakeMbimHost::Unsubscribe(MbimClient* client)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::erase(clients_, client);
}

std::vector<MbimClient*> FakeMbimHost::Clients()
{
    std::lock_guard<std::mutex> guard(lock_);
    return clients_;
}

void FakeMbimHost::Done(const MbimCommand& command, ULONG status, const std::vector<UCHAR>& data)
{
    for (MbimClient* client : Clients())
        client->CommandDone(command.transactionId, command.service, command.cid, status, data);
}

void FakeMbimHost::Indicate(const GUID& service, ULONG cid, const std::vector<UCHAR>& data)
{
    for (MbimClient* client : Clients())
        client->IndicateStatus(MbimServiceIdOf(service), cid, data);
}

std::vector<MbimCommand> FakeMbimHost::Commands()
{
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

} // namespace peers
