// Manifest-based event providers: registrations, the sessions that enable them (host/etw.h), and event
// writing into the trace sink and the ETW record list.
#include <evntprov.h>

#include <host/etw.h>
#include <host/image.h>
#include <host/trace.h>

#include "kernel/executive_internal.h"
#include "win32_internal.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace host {
namespace {

struct Registration {
    GUID provider{};
    PENABLECALLBACK callback = nullptr;
    PVOID context = nullptr;
    Image* image = nullptr;
};

struct Session {
    UCHAR level = 0;
    ULONGLONG matchAny = 0;
    ULONGLONG matchAll = 0;
};

struct Etw {
    std::mutex lock;
    std::map<REGHANDLE, std::shared_ptr<Registration>> registrations;
    std::vector<std::pair<GUID, Session>> sessions;
    std::deque<EtwEvent> events;
    REGHANDLE next = 1;
    // Held while enable callbacks run, so that none runs once EventUnregister has returned.
    std::recursive_mutex callbacks;
};

Etw& State()
{
    static Etw* etw = new Etw;
    return *etw;
}

const Session* SessionLocked(const GUID& provider)
{
    for (const auto& [guid, session] : State().sessions)
        if (guid == provider)
            return &session;
    return nullptr;
}

bool Enabled(const Session* session, UCHAR level, ULONGLONG keyword)
{
    if (session->level != 0 && level > session->level)
        return false;
    if (keyword == 0)
        return true;
    return (session->matchAny == 0 || (keyword & session->matchAny) != 0) &&
           (keyword & session->matchAll) == session->matchAll;
}

// The provider's registrations, for their enable callbacks.
std::vector<std::shared_ptr<Registration>> RegistrationsLocked(const GUID& provider)
{
    std::vector<std::shared_ptr<Registration>> found;
    for (const auto& [handle, registration] : State().registrations)
        if (registration->provider == provider)
            found.push_back(registration);
    return found;
}

void Notify(const std::vector<std::shared_ptr<Registration>>& registrations, const Session* session)
{
    Etw& etw = State();
    std::lock_guard<std::recursive_mutex> guard(etw.callbacks);
    for (const auto& registration : registrations) {
        if (registration->callback == nullptr)
            continue;
        {
            std::lock_guard<std::mutex> live(etw.lock); // unregistered meanwhile: not told
            bool registered = false;
            for (const auto& [handle, current] : etw.registrations)
                registered |= current == registration;
            if (!registered)
                continue;
        }
        if (session != nullptr)
            registration->callback(&registration->provider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, session->level,
                                   session->matchAny, session->matchAll, nullptr, registration->context);
        else
            registration->callback(&registration->provider, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, nullptr,
                                   registration->context);
    }
}

// The registration and its provider's session (none when no session enables it).
std::shared_ptr<Registration> Find(REGHANDLE handle, std::optional<Session>* session)
{
    Etw& etw = State();
    std::lock_guard<std::mutex> guard(etw.lock);
    auto it = etw.registrations.find(handle);
    if (it == etw.registrations.end())
        return nullptr;
    if (const Session* current = SessionLocked(it->second->provider))
        *session = *current;
    return it->second;
}

bool EnabledFor(REGHANDLE handle, UCHAR level, ULONGLONG keyword)
{
    std::optional<Session> session;
    return Find(handle, &session) != nullptr && session.has_value() && Enabled(&*session, level, keyword);
}

} // namespace

void EtwEnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll)
{
    Etw& etw = State();
    Session session{level, matchAny, matchAll};
    std::vector<std::shared_ptr<Registration>> registrations;
    {
        std::lock_guard<std::mutex> guard(etw.lock);
        std::erase_if(etw.sessions, [&](const auto& entry) { return entry.first == provider; });
        etw.sessions.emplace_back(provider, session);
        registrations = RegistrationsLocked(provider);
    }
    Notify(registrations, &session);
}

void EtwDisableProvider(const GUID& provider)
{
    Etw& etw = State();
    std::vector<std::shared_ptr<Registration>> registrations;
    {
        std::lock_guard<std::mutex> guard(etw.lock);
        if (std::erase_if(etw.sessions, [&](const auto& entry) { return entry.first == provider; }) == 0)
            return;
        registrations = RegistrationsLocked(provider);
    }
    Notify(registrations, nullptr);
}

void EtwReset()
{
    std::vector<GUID> providers;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        for (const auto& [guid, session] : State().sessions)
            providers.push_back(guid);
        State().events.clear();
    }
    for (const GUID& provider : providers)
        EtwDisableProvider(provider);
}

std::vector<EtwEvent> EtwEvents(const GUID* provider)
{
    std::lock_guard<std::mutex> guard(State().lock);
    std::vector<EtwEvent> events;
    for (const EtwEvent& event : State().events)
        if (provider == nullptr || event.provider == *provider)
            events.push_back(event);
    return events;
}

std::string EtwText(const EtwEvent& event)
{
    const std::vector<UCHAR>& bytes = event.payload;
    if (bytes.empty() || bytes.back() != 0)
        return {};
    std::string text(bytes.begin(), bytes.end() - 1);
    return text.find('\0') == std::string::npos ? text : std::string();
}

} // namespace host

using namespace host;

extern "C" {

ULONG EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext, PREGHANDLE RegHandle)
{
    if (ProviderId == nullptr || RegHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    auto registration = std::make_shared<Registration>();
    registration->provider = *ProviderId;
    registration->callback = EnableCallback;
    registration->context = CallbackContext;
    registration->image = ImageFromAddress(__builtin_return_address(0));
    Etw& etw = State();
    std::optional<Session> session;
    {
        std::lock_guard<std::mutex> guard(etw.lock);
        *RegHandle = etw.next++;
        etw.registrations[*RegHandle] = registration;
        if (const Session* current = SessionLocked(*ProviderId))
            session = *current;
    }
    if (session.has_value())
        Notify({registration}, &*session);
    return ERROR_SUCCESS;
}

ULONG EventUnregister(REGHANDLE RegHandle)
{
    Etw& etw = State();
    {
        std::lock_guard<std::mutex> guard(etw.lock);
        if (etw.registrations.erase(RegHandle) == 0)
            return ERROR_INVALID_HANDLE;
    }
    std::lock_guard<std::recursive_mutex> wait(etw.callbacks); // a callback running now finishes first
    return ERROR_SUCCESS;
}

BOOLEAN EventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor)
{
    return EventDescriptor != nullptr && EnabledFor(RegHandle, EventDescriptor->Level, EventDescriptor->Keyword);
}

BOOLEAN EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword)
{
    return EnabledFor(RegHandle, Level, Keyword);
}

ULONG EventWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, ULONG UserDataCount,
                 PEVENT_DATA_DESCRIPTOR UserData)
{
    if (EventDescriptor == nullptr || (UserDataCount != 0 && UserData == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::optional<Session> session;
    std::shared_ptr<Registration> registration = Find(RegHandle, &session);
    if (registration == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!session.has_value() || !Enabled(&*session, EventDescriptor->Level, EventDescriptor->Keyword))
        return ERROR_SUCCESS;
    EtwEvent event;
    event.provider = registration->provider;
    event.id = EventDescriptor->Id;
    event.version = EventDescriptor->Version;
    event.channel = EventDescriptor->Channel;
    event.level = EventDescriptor->Level;
    event.opcode = EventDescriptor->Opcode;
    event.task = EventDescriptor->Task;
    event.keyword = EventDescriptor->Keyword;
    for (ULONG i = 0; i < UserDataCount; i++) {
        auto bytes = reinterpret_cast<const UCHAR*>(UserData[i].Ptr);
        if (bytes == nullptr && UserData[i].Size != 0)
            return ERROR_INVALID_PARAMETER;
        event.payload.insert(event.payload.end(), bytes, bytes + UserData[i].Size);
    }
    event.image = ImageFromAddress(__builtin_return_address(0));
    event.time = host::exec::Now();
    std::string text = EtwText(event);
    if (text.empty())
        text = "(" + std::to_string(event.payload.size()) + " bytes)";
    char line[64];
    snprintf(line, sizeof(line), "event %u: ", event.id);
    TraceWrite(event.image, TraceStream::Etw, event.level, event.id, nullptr, line + text);
    Etw& etw = State();
    std::lock_guard<std::mutex> guard(etw.lock);
    etw.events.push_back(std::move(event));
    while (etw.events.size() > TraceRingSize())
        etw.events.pop_front();
    return ERROR_SUCCESS;
}

} // extern "C"
