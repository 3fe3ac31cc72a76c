// The in-memory hive: one tree of keys and values per process, its path parser and its observers.
#include "hive.h"

#include <algorithm>

namespace host::hive
{
namespace
{

constexpr std::u16string_view kRootName = u"REGISTRY";

// Keys every machine has, so relative roots such as RTL_REGISTRY_SERVICES resolve on a fresh hive.
constexpr std::u16string_view kStandardKeys[] = {
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\Software",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
};

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// One trailing backslash is tolerated ("...\Services\" names Services), as the configuration manager's
// parse ends at an empty remainder; a doubled backslash anywhere is an empty component and invalid.
// Components are checked before any lookup, so a malformed path is NAME_INVALID whatever exists.
NTSTATUS SplitComponents(std::u16string_view text, std::vector<std::u16string_view>* parts)
{
    parts->clear();
    if (!text.empty() && text.back() == u'\\')
        text.remove_suffix(1);
    if (text.empty())
        return STATUS_SUCCESS;
    for (size_t start = 0;;) {
        size_t end = text.find(u'\\', start);
        std::u16string_view part = text.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars)
            return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(part);
        if (end == std::u16string_view::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

// CurrentControlSet and ControlSet001 are one key, as on a booted machine where the first is a link to
// the second. The key keeps the name it is created with (CurrentControlSet, what observers are told);
// registry callbacks see the ControlSet001 form (cmcallback.cpp).
std::u16string_view Linked(const Key* parent, std::u16string_view name)
{
    const Key* machine = parent->parent;
    if (machine != nullptr && machine->parent != nullptr && machine->parent->parent == nullptr &&
        NamesEqual(machine->name, u"MACHINE") && NamesEqual(parent->name, u"SYSTEM") &&
        NamesEqual(name, u"ControlSet001"))
        return u"CurrentControlSet";
    return name;
}

KeyRef FindSubkey(const Key* key, std::u16string_view name)
{
    name = Linked(key, name);
    for (const KeyRef& subkey : key->subkeys)
        if (NamesEqual(subkey->name, name))
            return subkey;
    return nullptr;
}

Value* FindValue(Key* key, std::u16string_view name)
{
    for (Value& value : key->values)
        if (NamesEqual(value.name, name))
            return &value;
    return nullptr;
}

std::u16string PathOf(const Key* key)
{
    std::vector<const Key*> chain;
    for (; key != nullptr; key = key->parent)
        chain.push_back(key);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->name;
    }
    return path;
}

ULONG Bytes(size_t chars)
{
    return static_cast<ULONG>(chars * sizeof(WCHAR));
}

KeyInfo InfoOf(const Key* key)
{
    KeyInfo info;
    info.name = key->name;
    info.className = key->className;
    info.lastWrite = key->lastWrite;
    info.subkeys = static_cast<ULONG>(key->subkeys.size());
    info.values = static_cast<ULONG>(key->values.size());
    for (const KeyRef& subkey : key->subkeys) {
        info.maxNameLen = std::max(info.maxNameLen, Bytes(subkey->name.size()));
        info.maxClassLen = std::max(info.maxClassLen, Bytes(subkey->className.size()));
    }
    for (const Value& value : key->values) {
        info.maxValueNameLen = std::max(info.maxValueNameLen, Bytes(value.name.size()));
        info.maxValueDataLen = std::max(info.maxValueDataLen, static_cast<ULONG>(value.data.size()));
    }
    return info;
}

NTSTATUS CheckValueName(std::u16string_view name)
{
    return name.size() > kMaxValueNameChars ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

} // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](WCHAR x, WCHAR y) { return RtlUpcaseUnicodeChar(x) == RtlUpcaseUnicodeChar(y); });
}

Hive& Hive::Get()
{
    static Hive* hive = new Hive; // handles may be closed from threads that outlive static teardown
    return *hive;
}

Hive::Hive()
{
    Reset();
}

void Hive::Reset()
{
    auto markDeleted = [](auto& self, Key* key) -> void {
        key->deleted = true;
        for (const KeyRef& subkey : key->subkeys) {
            self(self, subkey.get());
            subkey->parent = nullptr;
        }
    };
    if (root_ != nullptr)
        markDeleted(markDeleted, root_.get());

    LONGLONG now = Now();
    root_ = std::make_shared<Key>();
    root_->name = kRootName;
    root_->fixed = true;
    root_->lastWrite = now;
    std::vector<Event> ignored;
    AddSubkey(root_.get(), u"MACHINE", {}, now, &ignored)->fixed = true;
    AddSubkey(root_.get(), u"USER", {}, now, &ignored)->fixed = true;
    std::vector<std::u16string_view> parts;
    for (std::u16string_view path : kStandardKeys) {
        RegistryParsePath(path, &parts);
        Key* key = root_.get();
        for (std::u16string_view part : parts) {
            KeyRef next = FindSubkey(key, part);
            key = next != nullptr ? next.get() : AddSubkey(key, part, {}, now, &ignored).get();
        }
    }
}

KeyRef Hive::AddSubkey(Key* parent, std::u16string_view name, std::u16string_view className, LONGLONG now,
                       std::vector<Event>* events)
{
    auto key = std::make_shared<Key>();
    key->name = Linked(parent, name);
    key->className = className;
    key->parent = parent;
    key->lastWrite = now;
    parent->subkeys.push_back(key);
    parent->lastWrite = now;
    events->push_back(Event{PathOf(key.get()), RegistryChange::KeyCreated, {}});
    return key;
}

NTSTATUS Hive::ResolveParts(const KeyRef& base, std::u16string_view path,
                            std::vector<std::u16string_view>* parts)
{
    if (base == nullptr)
        return RegistryParsePath(path, parts);
    // A name relative to a key never starts at the namespace root.
    if (!path.empty() && path.front() == u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return SplitComponents(path, parts);
}

NTSTATUS Hive::Walk(const KeyRef& base, const std::vector<std::u16string_view>& parts, size_t count,
                    KeyRef* key)
{
    KeyRef current = base != nullptr ? base : root_;
    if (current->deleted)
        return STATUS_KEY_DELETED;
    for (size_t i = 0; i < count; i++) {
        current = FindSubkey(current.get(), parts[i]);
        if (current == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND; // the configuration manager says so for a missing parent too
    }
    *key = std::move(current);
    return STATUS_SUCCESS;
}

NTSTATUS Hive::Open(const KeyRef& base, std::u16string_view path, KeyRef* key)
{
    std::vector<std::u16string_view> parts;
    NTSTATUS status = ResolveParts(base, path, &parts);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(lock_);
    return Walk(base, parts, parts.size(), key);
}

NTSTATUS Hive::Write(const KeyRef& key, const Change& change)
{
    LONGLONG now = Now();
    std::vector<Event> events;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(lock_);
        status = key != nullptr && key->deleted ? STATUS_KEY_DELETED : change(now, &events);
    }
    if (NT_SUCCESS(status))
        Publish(events);
    return status;
}

NTSTATUS Hive::Create(const KeyRef& base, std::u16string_view path, std::u16string_view className,
                      bool mayCreate, KeyRef* key, bool* created)
{
    std::vector<std::u16string_view> parts;
    NTSTATUS status = ResolveParts(base, path, &parts);
    if (!NT_SUCCESS(status))
        return status;
    *created = false;
    return Write(nullptr, [&](LONGLONG now, std::vector<Event>* events) {
        KeyRef parent;
        NTSTATUS walked = Walk(base, parts, parts.empty() ? 0 : parts.size() - 1, &parent);
        if (!NT_SUCCESS(walked))
            return walked;
        if (parts.empty()) {
            *key = std::move(parent);
            return STATUS_SUCCESS;
        }
        if (KeyRef existing = FindSubkey(parent.get(), parts.back())) {
            *key = std::move(existing);
            return STATUS_SUCCESS;
        }
        // Only the hives themselves (MACHINE, USER) live directly below \REGISTRY.
        if (!mayCreate || parent == root_)
            return STATUS_ACCESS_DENIED;
        *key = AddSubkey(parent.get(), parts.back(), className, now, events);
        *created = true;
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::CreatePath(const KeyRef& base, std::u16string_view path, KeyRef* key)
{
    std::vector<std::u16string_view> parts;
    NTSTATUS status = ResolveParts(base, path, &parts);
    if (!NT_SUCCESS(status))
        return status;
    return Write(nullptr, [&](LONGLONG now, std::vector<Event>* events) {
        KeyRef current;
        NTSTATUS walked = Walk(base, parts, 0, &current);
        if (!NT_SUCCESS(walked))
            return walked;
        for (std::u16string_view part : parts) {
            KeyRef next = FindSubkey(current.get(), part);
            if (next == nullptr) {
                if (current == root_)
                    return STATUS_ACCESS_DENIED;
                next = AddSubkey(current.get(), part, {}, now, events);
            }
            current = std::move(next);
        }
        *key = std::move(current);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::DeleteKey(const KeyRef& key)
{
    return Write(key, [&](LONGLONG now, std::vector<Event>* events) {
        if (key->fixed || !key->subkeys.empty())
            return STATUS_CANNOT_DELETE;
        events->push_back(Event{PathOf(key.get()), RegistryChange::KeyDeleted, {}});
        Detach(key, now);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::DeleteTree(const KeyRef& key)
{
    return Write(key, [&](LONGLONG now, std::vector<Event>* events) {
        if (key->fixed)
            return STATUS_CANNOT_DELETE;
        // Deepest keys first, as leaf-by-leaf deletion would report them.
        auto remove = [events](auto& self, Key* node) -> void {
            for (const KeyRef& subkey : node->subkeys)
                self(self, subkey.get());
            events->push_back(Event{PathOf(node), RegistryChange::KeyDeleted, {}});
            for (const KeyRef& subkey : node->subkeys) {
                subkey->parent = nullptr;
                subkey->deleted = true;
            }
            node->subkeys.clear();
        };
        remove(remove, key.get());
        Detach(key, now);
        return STATUS_SUCCESS;
    });
}

void Hive::Detach(const KeyRef& key, LONGLONG now)
{
    Key* parent = key->parent;
    std::erase(parent->subkeys, key);
    parent->lastWrite = now;
    key->parent = nullptr;
    key->deleted = true;
}

NTSTATUS Hive::SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                        size_t size)
{
    NTSTATUS status = CheckValueName(name);
    if (!NT_SUCCESS(status))
        return status;
    return Write(key, [&](LONGLONG now, std::vector<Event>* events) {
        Value* value = FindValue(key.get(), name);
        if (value == nullptr) {
            key->values.push_back(Value{std::u16string(name), type, {}});
            value = &key->values.back();
        }
        // Stored as written: Windows does not hold data to its type.
        value->type = type;
        auto bytes = static_cast<const UCHAR*>(data);
        value->data.assign(bytes, bytes + size);
        key->lastWrite = now;
        events->push_back(Event{PathOf(key.get()), RegistryChange::ValueSet, value->name});
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::Read(const KeyRef& key, const std::function<NTSTATUS()>& read)
{
    std::lock_guard<std::mutex> guard(lock_);
    return key->deleted ? STATUS_KEY_DELETED : read();
}

NTSTATUS Hive::QueryValue(const KeyRef& key, std::u16string_view name, Value* value)
{
    return Read(key, [&] {
        const Value* found = FindValue(key.get(), name);
        if (found == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        *value = *found;
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::DeleteValue(const KeyRef& key, std::u16string_view name)
{
    return Write(key, [&](LONGLONG now, std::vector<Event>* events) {
        Value* found = FindValue(key.get(), name);
        if (found == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        events->push_back(Event{PathOf(key.get()), RegistryChange::ValueDeleted, found->name});
        key->values.erase(key->values.begin() + (found - key->values.data()));
        key->lastWrite = now;
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::EnumerateValue(const KeyRef& key, ULONG index, Value* value)
{
    return Read(key, [&] {
        if (index >= key->values.size())
            return STATUS_NO_MORE_ENTRIES;
        *value = key->values[index];
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::EnumerateKey(const KeyRef& key, ULONG index, KeyInfo* info)
{
    return Read(key, [&] {
        if (index >= key->subkeys.size())
            return STATUS_NO_MORE_ENTRIES;
        *info = InfoOf(key->subkeys[index].get());
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::QueryKey(const KeyRef& key, KeyInfo* info)
{
    return Read(key, [&] {
        *info = InfoOf(key.get());
        return STATUS_SUCCESS;
    });
}

NTSTATUS Hive::KeyPath(const KeyRef& key, std::u16string* path)
{
    return Read(key, [&] {
        *path = PathOf(key.get());
        return STATUS_SUCCESS;
    });
}

void Hive::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    Reset();
}

int Hive::AddObserver(RegistryObserver observer)
{
    std::lock_guard<std::mutex> guard(observersLock_);
    observers_.emplace_back(nextCookie_, std::move(observer));
    return nextCookie_++;
}

void Hive::RemoveObserver(int cookie)
{
    std::lock_guard<std::mutex> guard(observersLock_);
    std::erase_if(observers_, [cookie](const auto& entry) { return entry.first == cookie; });
}

void Hive::Publish(const std::vector<Event>& events)
{
    std::vector<std::pair<int, RegistryObserver>> observers;
    {
        std::lock_guard<std::mutex> guard(observersLock_);
        observers = observers_;
    }
    for (const Event& event : events)
        for (const auto& entry : observers)
            entry.second(event.keyPath, event.change, event.valueName);
}

ACCESS_MASK KeyMapAccess(ACCESS_MASK desired)
{
    static constexpr std::pair<ACCESS_MASK, ACCESS_MASK> kGeneric[] = {
        {GENERIC_READ, KEY_READ},      {GENERIC_WRITE, KEY_WRITE},        {GENERIC_EXECUTE, KEY_EXECUTE},
        {GENERIC_ALL, KEY_ALL_ACCESS}, {MAXIMUM_ALLOWED, KEY_ALL_ACCESS}, // the kernel caller is granted
                                                                          // everything
    };
    ACCESS_MASK mapped = desired;
    for (auto [generic, specific] : kGeneric)
        if ((desired & generic) != 0)
            mapped = (mapped & ~generic) | specific;
    return mapped;
}

HANDLE KeyHandleCreate(const KeyRef& key, ACCESS_MASK granted)
{
    auto* object = new KeyObject(key);
    HANDLE handle = HandleCreate(object, granted);
    ObjectDereference(object); // the handle holds it
    return handle;
}

NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK desired, KeyRef* key, ACCESS_MASK* granted)
{
    Object* object = nullptr;
    NTSTATUS status = HandleReference(handle, ObjectKind::Key, desired, &object, granted);
    if (!NT_SUCCESS(status))
        return status;
    *key = static_cast<KeyObject*>(object)->key;
    ObjectDereference(object);
    return STATUS_SUCCESS;
}

} // namespace host::hive

namespace host
{

NTSTATUS RegistryParsePath(std::u16string_view path, std::vector<std::u16string_view>* components)
{
    components->clear();
    if (path.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (path.front() != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (path.size() == 1)
        return STATUS_OBJECT_TYPE_MISMATCH; // the namespace root is a directory, not a key
    std::vector<std::u16string_view> parts;
    NTSTATUS status = hive::SplitComponents(path.substr(1), &parts);
    if (!NT_SUCCESS(status))
        return status;
    if (parts.empty())
        return STATUS_OBJECT_NAME_INVALID; // "\\": an empty component
    if (!hive::NamesEqual(parts.front(), hive::kRootName))
        return parts.size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
    components->assign(parts.begin() + 1, parts.end());
    return STATUS_SUCCESS;
}

} // namespace host
