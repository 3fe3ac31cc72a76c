// The OS-side MBIM host: the function's OPEN and CLOSE, commands of the in-process client and of raw
// clients over one transaction-id sequence, reassembly of what the device answers, and indications.
#include "sim/peers/mbim_host.h"

#include <host/host.h>
#include <host/mbb.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace sim::peers
{

using namespace sim::mbim;

class MbimHost::Pending
{
  public:
    Pending() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    KEVENT done;
    Answer answer;
    uint32_t transactionId = 0;
};

namespace
{

using PendingPtr = std::shared_ptr<MbimHost::Pending>;

void Finish(const PendingPtr& pending, MbimHost::Answer answer)
{
    pending->answer = std::move(answer);
    KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
}

MbimHost::Answer Failed(NTSTATUS status)
{
    MbimHost::Answer answer;
    answer.status = status;
    return answer;
}

// Waits up to `timeout` (100 ns units): false when it passed.
bool WaitFor(KEVENT* event, LONGLONG timeout)
{
    LARGE_INTEGER due;
    due.QuadPart = -timeout;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
}

// Takes the oldest entry of a queue that `ready` signals, waiting up to `timeout`.
template <typename T>
std::optional<T> PopWithin(std::mutex& lock, std::deque<T>& queue, KEVENT* ready, LONGLONG timeout)
{
    LONGLONG deadline = host::ClockNow() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!queue.empty()) {
                T entry = std::move(queue.front());
                queue.pop_front();
                return entry;
            }
        }
        LONGLONG left = deadline - host::ClockNow();
        if (left <= 0 || !WaitFor(ready, left))
            return std::nullopt;
    }
}

// The completion of one request handed to the class extension, awaited by its sender.
struct Outcome {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    Outcome() { KeInitializeEvent(&done, NotificationEvent, FALSE); }

    static host::MbbDone Report(const std::shared_ptr<Outcome>& outcome)
    {
        return [outcome](NTSTATUS status) {
            outcome->status = status;
            KeSetEvent(&outcome->done, IO_NO_INCREMENT, FALSE);
        };
    }
};

} // namespace

struct MbimHost::RawClient::State {
    std::weak_ptr<MbimHost::State> host;
    std::mutex lock;
    std::deque<Bytes> queue;
    KEVENT ready{};
    size_t maxControlTransfer = 0; // 0 until its OPEN: the device's
    std::map<uint32_t, uint32_t> sending; // client id -> host id of a command whose fragments are coming

    State() { KeInitializeEvent(&ready, SynchronizationEvent, FALSE); }
    void Push(std::vector<Bytes> fragments)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            for (Bytes& f : fragments)
                queue.push_back(std::move(f));
        }
        KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
    }
};

using ClientPtr = std::shared_ptr<MbimHost::RawClient::State>;

struct MbimHost::State : std::enable_shared_from_this<MbimHost::State> {
    std::u16string instance;
    Options options;

    mutable std::mutex lock;
    WDFDEVICE device = nullptr;
    size_t maxFragment = 0;
    ULONG extendedVersion = 0;
    bool open = false;
    uint32_t nextId = 1;
    Reassembler joiner;
    // What answers are awaited, by host transaction id: an in-process command, or a raw client's.
    struct Route {
        PendingPtr pending;
        std::weak_ptr<RawClient::State> client;
        uint32_t clientId = 0;
    };
    std::map<uint32_t, Route> routes;
    PendingPtr control; // the OPEN or CLOSE awaiting its answer
    std::deque<Message> indications;
    KEVENT indicationReady{};
    std::vector<std::weak_ptr<RawClient::State>> clients;
    Counters counters;
    std::vector<Answer> bringUp;

    // The fragments of one message go down back to back: held (a host wait, so virtual time goes on)
    // from a message's first send to its last.
    KEVENT sending{};

    State()
    {
        KeInitializeEvent(&indicationReady, SynchronizationEvent, FALSE);
        KeInitializeEvent(&sending, SynchronizationEvent, TRUE);
    }

    uint32_t NextIdLocked()
    {
        uint32_t id = nextId;
        nextId = id == 0xFFFFFFFFu ? 1 : id + 1;
        return id;
    }

    // One send per fragment, each awaited: the first failure, or STATUS_IO_TIMEOUT.
    NTSTATUS SendFragments(WDFDEVICE target, const std::vector<Bytes>& fragments, KIRQL irql)
    {
        if (fragments.empty())
            return STATUS_INVALID_PARAMETER;
        KeWaitForSingleObject(&sending, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = SendEach(target, fragments, irql);
        KeSetEvent(&sending, IO_NO_INCREMENT, FALSE);
        return status;
    }

    NTSTATUS SendEach(WDFDEVICE target, const std::vector<Bytes>& fragments, KIRQL irql)
    {
        for (const Bytes& fragment : fragments) {
            auto outcome = std::make_shared<Outcome>();
            NTSTATUS status = host::MbbSend(target, fragment, irql, Outcome::Report(outcome));
            if (!NT_SUCCESS(status))
                return status;
            if (!WaitFor(&outcome->done, options.commandTimeout)) {
                std::lock_guard<std::mutex> guard(lock);
                ++counters.timeouts;
                return STATUS_IO_TIMEOUT;
            }
            if (!NT_SUCCESS(outcome->status))
                return outcome->status;
        }
        return STATUS_SUCCESS;
    }

    void CountProtocolError()
    {
        std::lock_guard<std::mutex> guard(lock);
        ++counters.protocolErrors;
    }

    // A fragment from the device, on the class extension's receive thread.
    void Received(View fragment)
    {
        PendingPtr finished;
        Answer answer;
        Route route;
        bool toClient = false;
        std::vector<ClientPtr> everyone;
        Bytes whole;
        {
            std::lock_guard<std::mutex> guard(lock);
            Reassembler::Result r = joiner.Feed(fragment);
            if (!r.error.empty())
                ++counters.protocolErrors;
            if (!r.message)
                return;
            std::optional<Message> m = Parse(*r.message);
            if (!m) {
                ++counters.protocolErrors;
                return;
            }
            whole = std::move(*r.message);
            answer.type = m->type;
            answer.mbimStatus = m->status;
            answer.information = m->information;
            switch (m->type) {
            case kOpenDone:
            case kCloseDone:
                if (control == nullptr || control->transactionId != m->transactionId) {
                    ++counters.unknownAnswers;
                    return;
                }
                finished = std::move(control);
                break;
            case kCommandDone:
            case kFunctionError: {
                auto it = routes.find(m->transactionId);
                if (it == routes.end()) {
                    ++counters.unknownAnswers;
                    return;
                }
                route = std::move(it->second);
                routes.erase(it);
                finished = route.pending;
                toClient = finished == nullptr;
                break;
            }
            case kIndicateStatus:
                indications.push_back(*m);
                KeSetEvent(&indicationReady, IO_NO_INCREMENT, FALSE);
                for (auto& weak : clients)
                    if (ClientPtr c = weak.lock())
                        everyone.push_back(c);
                break;
            default:
                ++counters.protocolErrors;
                return;
            }
        }
        if (finished != nullptr)
            Finish(finished, std::move(answer));
        if (toClient)
            if (ClientPtr c = route.client.lock())
                Deliver(*c, whole, route.clientId);
        for (const ClientPtr& c : everyone)
            Deliver(*c, whole, 0);
    }

    // A whole message to a raw client, with the client's transaction id, in its fragment size.
    void Deliver(RawClient::State& client, Bytes message, uint32_t clientId)
    {
        WriteU32(message, 8, clientId);
        size_t size;
        {
            std::lock_guard<std::mutex> guard(client.lock);
            size = client.maxControlTransfer;
        }
        if (size == 0) {
            std::lock_guard<std::mutex> guard(lock);
            size = maxFragment;
        }
        client.Push(Fragment(message, size));
    }

    // Fails what is outstanding and forgets any partial answer.
    void FailOutstanding(NTSTATUS status, bool closeFunction)
    {
        std::vector<PendingPtr> failed;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (auto& [id, route] : routes)
                if (route.pending != nullptr)
                    failed.push_back(route.pending);
            routes.clear();
            if (control != nullptr)
                failed.push_back(std::move(control));
            joiner.Reset();
            if (closeFunction)
                open = false;
        }
        for (const PendingPtr& pending : failed)
            Finish(pending, Failed(status));
    }

    void Removed()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            device = nullptr;
        }
        FailOutstanding(STATUS_DEVICE_REMOVED, true);
    }

    // The OPEN or CLOSE: its answer's status, or why there is none.
    Answer Control(const Bytes& message, ULONG retries)
    {
        WDFDEVICE target;
        auto pending = std::make_shared<Pending>();
        {
            std::lock_guard<std::mutex> guard(lock);
            target = device;
            pending->transactionId = ReadU32(message, 8);
            control = pending;
        }
        NTSTATUS status = STATUS_NO_SUCH_DEVICE;
        for (ULONG attempt = 0; target != nullptr; ++attempt) {
            status = SendFragments(target, {message}, PASSIVE_LEVEL);
            if (NT_SUCCESS(status) || attempt == retries)
                break;
            {
                std::lock_guard<std::mutex> guard(lock);
                ++counters.openRetries;
            }
            LARGE_INTEGER second;
            second.QuadPart = -10'000'000LL;
            KeDelayExecutionThread(KernelMode, FALSE, &second);
        }
        if (NT_SUCCESS(status) && !WaitFor(&pending->done, options.openTimeout)) {
            std::lock_guard<std::mutex> guard(lock);
            if (control == pending) {
                control = nullptr;
                ++counters.timeouts;
                DbgPrint("MbimHost: message type 0x%X (transaction %u) got no answer", ReadU32(message, 0),
                         pending->transactionId);
                return Failed(STATUS_IO_TIMEOUT);
            }
        }
        if (!NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> guard(lock);
            if (control == pending)
                control = nullptr;
            return Failed(status);
        }
        KeWaitForSingleObject(&pending->done, Executive, KernelMode, FALSE, nullptr);
        return pending->answer;
    }

    PendingPtr Begin(const Uuid& service, uint32_t cid, uint32_t commandType, View information, KIRQL irql)
    {
        auto pending = std::make_shared<Pending>();
        WDFDEVICE target;
        size_t size;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!open) {
                Finish(pending, Failed(STATUS_INVALID_DEVICE_STATE));
                return pending;
            }
            pending->transactionId = NextIdLocked();
            routes[pending->transactionId].pending = pending;
            target = device;
            size = maxFragment;
        }
        Bytes message = BuildCommand(pending->transactionId, service, cid, commandType, information);
        NTSTATUS status = SendFragments(target, Fragment(message, size), irql);
        if (!NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> guard(lock);
            if (routes.erase(pending->transactionId) != 0)
                Finish(pending, Failed(status));
        }
        return pending;
    }

    Answer Wait(const PendingPtr& pending)
    {
        if (!WaitFor(&pending->done, options.commandTimeout)) {
            std::lock_guard<std::mutex> guard(lock);
            auto it = routes.find(pending->transactionId);
            if (it != routes.end() && it->second.pending == pending) {
                routes.erase(it);
                ++counters.timeouts;
                Finish(pending, Failed(STATUS_IO_TIMEOUT));
            }
        }
        KeWaitForSingleObject(&pending->done, Executive, KernelMode, FALSE, nullptr);
        return pending->answer;
    }

    // A raw client's fragment on its way down.
    bool Write(const ClientPtr& client, View fragment)
    {
        size_t limit;
        {
            std::lock_guard<std::mutex> guard(client->lock);
            limit = client->maxControlTransfer;
        }
        WDFDEVICE target;
        bool isOpen;
        {
            std::lock_guard<std::mutex> guard(lock);
            limit = limit != 0 ? limit : maxFragment;
            target = device;
            isOpen = open;
        }
        if (!CheckFragment(fragment) || fragment.size() > limit) {
            CountProtocolError();
            return false;
        }
        uint32_t type = ReadU32(fragment, 0);
        uint32_t clientId = ReadU32(fragment, 8);
        switch (type) {
        case kOpen: {
            std::lock_guard<std::mutex> guard(client->lock);
            client->maxControlTransfer =
                std::clamp<size_t>(ReadU32(fragment, kOpenMaxControlTransfer), kCommandInfo, limit);
            client->queue.push_back(BuildOpenDone(clientId, isOpen ? kStatusSuccess : kStatusFailure));
            KeSetEvent(&client->ready, IO_NO_INCREMENT, FALSE);
            return true;
        }
        case kClose:
            client->Push({BuildCloseDone(clientId, kStatusSuccess)});
            return true;
        case kCommand:
        case kHostError:
            break;
        default:
            CountProtocolError();
            return false;
        }
        uint32_t hostId = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            std::lock_guard<std::mutex> clientGuard(client->lock);
            auto sending = client->sending.find(clientId);
            if (type == kHostError) {
                for (auto& [id, route] : routes)
                    if (route.client.lock() == client && route.clientId == clientId)
                        hostId = id;
            } else if (ReadU32(fragment, 16) == 0 && isOpen) {
                hostId = NextIdLocked();
                routes[hostId] = Route{nullptr, client, clientId};
                client->sending[clientId] = hostId;
            } else if (sending != client->sending.end()) {
                hostId = sending->second;
            }
            if (hostId == 0) {
                ++counters.protocolErrors;
            } else if (type == kCommand && ReadU32(fragment, 16) + 1 == ReadU32(fragment, 12)) {
                client->sending.erase(clientId);
            }
        }
        if (hostId == 0) {
            if (!isOpen)
                client->Push({BuildFunctionError(clientId, kErrorNotOpened)});
            return false;
        }
        Bytes mapped(fragment.begin(), fragment.end());
        WriteU32(mapped, 8, hostId);
        if (!NT_SUCCESS(SendFragments(target, {mapped}, PASSIVE_LEVEL))) {
            {
                std::lock_guard<std::mutex> guard(lock);
                routes.erase(hostId);
            }
            client->Push({BuildFunctionError(clientId, kErrorUnknown)});
        }
        return true;
    }
};

MbimHost::MbimHost(std::u16string instanceId) : MbimHost(std::move(instanceId), Options{}) {}

MbimHost::MbimHost(std::u16string instanceId, Options options) : state_(std::make_shared<State>())
{
    state_->instance = std::move(instanceId);
    state_->options = options;
    state_->nextId = options.firstTransactionId != 0 ? options.firstTransactionId : 1;
}

MbimHost::~MbimHost()
{
    Detach();
}

NTSTATUS MbimHost::Attach()
{
    WDFDEVICE device = host::MbbFindDevice(state_->instance);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    std::optional<host::MbbParameters> parameters = host::MbbQueryParameters(device);
    if (!parameters)
        return STATUS_INVALID_DEVICE_STATE;
    std::weak_ptr<State> weak = state_;
    host::MbbHostSide side;
    side.received = [weak](std::span<const UCHAR> fragment) {
        if (auto state = weak.lock())
            state->Received(fragment);
    };
    side.removed = [weak] {
        if (auto state = weak.lock())
            state->Removed();
    };
    NTSTATUS status = host::MbbConnect(device, std::move(side));
    if (!NT_SUCCESS(status))
        return status;
    uint32_t id;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->device = device;
        state_->maxFragment = parameters->maximumFragmentSize;
        state_->extendedVersion = parameters->extendedVersion;
        state_->bringUp.clear();
        id = state_->NextIdLocked();
    }
    Answer open = state_->Control(BuildOpen(id, uint32_t(parameters->maximumFragmentSize)), state_->options.openRetries);
    if (!NT_SUCCESS(open.status))
        return open.status;
    if (open.mbimStatus != kStatusSuccess)
        return STATUS_UNSUCCESSFUL;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->open = true;
    }
    if (!state_->options.bringUp)
        return STATUS_SUCCESS;
    // What the OS asks once the function is open.
    Bytes version(4, 0);
    version[1] = 0x01; // MBIM 1.0
    version[2] = uint8_t(parameters->extendedVersion);
    version[3] = uint8_t(parameters->extendedVersion >> 8);
    const struct {
        Uuid service;
        uint32_t cid;
        Bytes payload;
    } queries[] = {
        {kBasicConnect, kCidDeviceCaps, {}},
        {kBasicConnect, kCidDeviceServices, {}},
        {kBasicConnect, kCidSubscriberReadyStatus, {}},
        {kBasicConnect, kCidRadioState, {}},
        {kBasicConnectExtensions, kCidVersion, version},
    };
    std::vector<Answer> answers;
    for (const auto& q : queries)
        answers.push_back(Command(q.service, q.cid, kQuery, q.payload));
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->bringUp = std::move(answers);
    return STATUS_SUCCESS;
}

NTSTATUS MbimHost::Close()
{
    uint32_t id;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (!state_->open)
            return STATUS_INVALID_DEVICE_STATE;
        state_->open = false;
        id = state_->NextIdLocked();
    }
    state_->FailOutstanding(STATUS_CANCELLED, true);
    Answer answer = state_->Control(BuildClose(id), 0);
    if (!NT_SUCCESS(answer.status))
        return answer.status;
    return answer.mbimStatus == kStatusSuccess ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void MbimHost::Detach()
{
    WDFDEVICE device;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        device = state_->device;
        state_->device = nullptr;
    }
    if (device != nullptr)
        host::MbbDisconnect(device);
    state_->FailOutstanding(STATUS_CANCELLED, true);
}

bool MbimHost::IsOpen() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->open;
}

MbimHost::Answer MbimHost::Command(const Uuid& service, uint32_t cid, uint32_t commandType, View information,
                                   KIRQL irql)
{
    return Wait(Begin(service, cid, commandType, information, irql));
}

std::shared_ptr<MbimHost::Pending> MbimHost::Begin(const Uuid& service, uint32_t cid, uint32_t commandType,
                                                   View information, KIRQL irql)
{
    return state_->Begin(service, cid, commandType, information, irql);
}

MbimHost::Answer MbimHost::Wait(const std::shared_ptr<Pending>& pending)
{
    return state_->Wait(pending);
}

MbimHost::ConnectResult MbimHost::Connect(uint32_t sessionId, std::u16string_view accessString, uint32_t ipType)
{
    ConnectSet set;
    set.sessionId = sessionId;
    set.accessString = accessString;
    set.ipType = ipType;
    return SetConnect(set);
}

MbimHost::ConnectResult MbimHost::Disconnect(uint32_t sessionId)
{
    ConnectSet set;
    set.sessionId = sessionId;
    set.activationCommand = kActivationDeactivate;
    return SetConnect(set);
}

MbimHost::ConnectResult MbimHost::SetConnect(const ConnectSet& set)
{
    ConnectResult result;
    WDFDEVICE device;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        device = state_->device;
    }
    // A data session's adapter exists before its first activation goes down; without one the
    // activation is not sent. Session 0's adapter is the device's own and stays.
    if (set.activationCommand == kActivationActivate && set.sessionId != 0 &&
        host::MbbFindAdapter(device, set.sessionId) == nullptr) {
        NTSTATUS status = host::MbbCreateAdapter(device, set.sessionId);
        if (!NT_SUCCESS(status)) {
            result.answer.status = status;
            return result;
        }
    }
    result.answer = Command(kBasicConnect, kCidConnect, kSet, BuildConnectSetInfo(set));
    if (std::optional<ConnectInfo> info = ParseConnectInfo(result.answer.information))
        result.activationState = info->activationState;
    if (result.activationState == kActivationStateDeactivated && set.sessionId != 0)
        host::MbbRemoveAdapter(device, set.sessionId);
    return result;
}

const std::vector<MbimHost::Answer>& MbimHost::BringUpAnswers() const
{
    return state_->bringUp;
}

std::optional<Message> MbimHost::WaitIndication(LONGLONG timeout)
{
    return PopWithin(state_->lock, state_->indications, &state_->indicationReady, timeout);
}

NTSTATUS MbimHost::SendSessionData(ULONG sessionId, View data)
{
    WDFDEVICE device;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        device = state_->device;
    }
    auto outcome = std::make_shared<Outcome>();
    NTSTATUS status = host::MbbSendSessionData(device, sessionId, data, Outcome::Report(outcome));
    if (!NT_SUCCESS(status))
        return status;
    if (!WaitFor(&outcome->done, state_->options.commandTimeout))
        return STATUS_IO_TIMEOUT;
    return outcome->status;
}

void MbimHost::SetNextTransactionId(uint32_t id)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->nextId = id != 0 ? id : 1;
}

MbimHost::Counters MbimHost::Query() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->counters;
}

std::unique_ptr<MbimHost::RawClient> MbimHost::OpenRawClient()
{
    auto client = std::make_shared<RawClient::State>();
    client->host = state_;
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->clients.push_back(client);
    return std::unique_ptr<RawClient>(new RawClient(client));
}

MbimHost::RawClient::RawClient(std::shared_ptr<State> state) : state_(std::move(state)) {}

MbimHost::RawClient::~RawClient()
{
    if (auto host = state_->host.lock()) {
        std::lock_guard<std::mutex> guard(host->lock);
        auto& clients = host->clients;
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [this](const std::weak_ptr<State>& c) { return c.lock() == state_; }),
                      clients.end());
    }
}

bool MbimHost::RawClient::Write(View fragment)
{
    auto host = state_->host.lock();
    return host != nullptr && host->Write(state_, fragment);
}

std::optional<Bytes> MbimHost::RawClient::Read(LONGLONG timeout)
{
    return PopWithin(state_->lock, state_->queue, &state_->ready, timeout);
}

} // namespace sim::peers
