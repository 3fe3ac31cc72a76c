// The one registry hive of the process, shared by the kernel view (Zw*/Rtl*) and the Win32 view.
// Every write goes through Hive's mutators, which publish it to the observers of host/registry.h.
#pragma once

#include <host/object.h>
#include <host/registry.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host::hive
{

// Windows limits: key name components and value names, in characters.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

// A key node. Fields are touched only under the hive's lock; handles keep a node alive after it is
// deleted from the tree, marked `deleted`.
struct Key {
    std::u16string name;
    std::u16string className;
    Key* parent = nullptr;
    std::vector<std::shared_ptr<Key>> subkeys; // creation order, which is also enumeration order
    std::vector<Value> values;                 // creation order
    LONGLONG lastWrite = 0;
    bool deleted = false;
    bool fixed = false; // \REGISTRY, MACHINE, USER: never deleted, nothing created directly below \REGISTRY
};
using KeyRef = std::shared_ptr<Key>;

struct KeyInfo {
    std::u16string name;
    std::u16string className;
    LONGLONG lastWrite = 0;
    ULONG subkeys = 0;
    ULONG maxNameLen = 0; // bytes, over the subkeys
    ULONG maxClassLen = 0;
    ULONG values = 0;
    ULONG maxValueNameLen = 0; // bytes
    ULONG maxValueDataLen = 0;
};

// Case-insensitive equality with RtlUpcaseUnicodeChar, the one upcase rule of the host.
bool NamesEqual(std::u16string_view a, std::u16string_view b);

class Hive
{
  public:
    static Hive& Get();

    // `path` is absolute (\Registry\...) when `base` is null, else relative to `base` (may be empty).
    NTSTATUS Open(const KeyRef& base, std::u16string_view path, KeyRef* key);
    // Creates only the last component; a missing parent is STATUS_OBJECT_NAME_NOT_FOUND. When the key
    // would be created and `mayCreate` is false, STATUS_ACCESS_DENIED.
    NTSTATUS Create(const KeyRef& base, std::u16string_view path, std::u16string_view className,
                    bool mayCreate, KeyRef* key, bool* created);
    // Creates every missing component (RtlCreateRegistryKey, host seeding).
    NTSTATUS CreatePath(const KeyRef& base, std::u16string_view path, KeyRef* key);
    // Leaf keys only: STATUS_CANNOT_DELETE with subkeys.
    NTSTATUS DeleteKey(const KeyRef& key);
    NTSTATUS DeleteTree(const KeyRef& key);

    NTSTATUS SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data, size_t size);
    NTSTATUS QueryValue(const KeyRef& key, std::u16string_view name, Value* value);
    NTSTATUS DeleteValue(const KeyRef& key, std::u16string_view name);
    // STATUS_NO_MORE_ENTRIES past the end.
    NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, Value* value);
    NTSTATUS EnumerateKey(const KeyRef& key, ULONG index, KeyInfo* info);
    NTSTATUS QueryKey(const KeyRef& key, KeyInfo* info);
    // The key's full path as observers are told it (\REGISTRY\MACHINE\...); STATUS_KEY_DELETED once deleted.
    NTSTATUS KeyPath(const KeyRef& key, std::u16string* path);

    void Clear();

    int AddObserver(RegistryObserver observer);
    void RemoveObserver(int cookie);

  private:
    Hive();
    struct Event {
        std::u16string keyPath;
        RegistryChange change;
        std::u16string valueName;
    };
    NTSTATUS Walk(const KeyRef& base, const std::vector<std::u16string_view>& components, size_t count,
                  KeyRef* key);
    NTSTATUS ResolveParts(const KeyRef& base, std::u16string_view path,
                          std::vector<std::u16string_view>* parts);
    KeyRef AddSubkey(Key* parent, std::u16string_view name, std::u16string_view className, LONGLONG now,
                     std::vector<Event>* events);
    // The one path of every write: under the lock, `change` edits the tree (of `key`, when given, which
    // must not be deleted) and lists what it did; observers hear of it after the lock is released.
    using Change = std::function<NTSTATUS(LONGLONG now, std::vector<Event>* events)>;
    NTSTATUS Write(const KeyRef& key, const Change& change);
    // Every read: `read` runs under the lock on a key that is not deleted.
    NTSTATUS Read(const KeyRef& key, const std::function<NTSTATUS()>& read);
    // Takes a key out of the tree; its handles then see STATUS_KEY_DELETED.
    void Detach(const KeyRef& key, LONGLONG now);
    void Publish(const std::vector<Event>& events);
    void Reset();

    std::mutex lock_;
    KeyRef root_;
    std::mutex observersLock_;
    std::vector<std::pair<int, RegistryObserver>> observers_;
    int nextCookie_ = 1;
};

// Handles to keys, shared by both views: the granted access is kept with the handle.
struct KeyObject : Object {
    explicit KeyObject(KeyRef key) : Object(ObjectKind::Key), key(std::move(key)) {}
    KeyRef key;
};

// Generic rights and MAXIMUM_ALLOWED folded into key rights.
ACCESS_MASK KeyMapAccess(ACCESS_MASK desired);
HANDLE KeyHandleCreate(const KeyRef& key, ACCESS_MASK granted);
// STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH or STATUS_ACCESS_DENIED; a deleted key is reported
// by the hive operation that uses it (STATUS_KEY_DELETED).
NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK desired, KeyRef* key, ACCESS_MASK* granted = nullptr);

} // namespace host::hive
