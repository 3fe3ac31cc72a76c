// Seeding and inspecting the emulated registry without handles (tests and the simulator), and watching
// its changes. Paths are absolute NT paths: \Registry\Machine\System\CurrentControlSet\Services\Name.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace host
{

// Splits an absolute registry path into its components below \Registry, with the status every
// registry entry point gives for it: STATUS_OBJECT_NAME_INVALID (empty text, empty or over-long
// component), STATUS_OBJECT_PATH_SYNTAX_BAD (not absolute), STATUS_OBJECT_TYPE_MISMATCH (the namespace
// root "\" alone), STATUS_OBJECT_PATH_NOT_FOUND / STATUS_OBJECT_NAME_NOT_FOUND (outside \Registry).
// One trailing backslash is tolerated.
NTSTATUS RegistryParsePath(std::u16string_view path, std::vector<std::u16string_view>* components);

// Setters create the key and every missing key above it.
NTSTATUS RegistrySetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                          const void* data, size_t size);
NTSTATUS RegistrySetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value);
NTSTATUS RegistrySetQword(std::u16string_view keyPath, std::u16string_view valueName, ULONGLONG value);
// Stored with its terminator, as REG_SZ or REG_EXPAND_SZ.
NTSTATUS RegistrySetString(std::u16string_view keyPath, std::u16string_view valueName,
                           std::u16string_view value, ULONG type = REG_SZ);
NTSTATUS RegistrySetMultiString(std::u16string_view keyPath, std::u16string_view valueName,
                                const std::vector<std::u16string>& strings);
NTSTATUS RegistryCreateKey(std::u16string_view keyPath);

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};
std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view valueName);
bool RegistryKeyExists(std::u16string_view keyPath);
// Names in enumeration order (creation order); empty when the key does not exist.
std::vector<std::u16string> RegistrySubkeys(std::u16string_view keyPath);
std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath);

// Deletes the key with everything below it; open handles to any of them then see STATUS_KEY_DELETED.
NTSTATUS RegistryDeleteTree(std::u16string_view keyPath);
// Back to a fresh machine: \Registry\Machine with its standard empty keys and an empty \Registry\User.
void RegistryClear();

// Every write to the hive, from any view, is published after it is made. `keyPath` is the key's full
// path as created (\REGISTRY\MACHINE\...); `valueName` is empty for key changes. Observers run on the
// writer's thread without the hive's lock held, so they may read the registry.
enum class RegistryChange { KeyCreated, KeyDeleted, ValueSet, ValueDeleted };
using RegistryObserver =
    std::function<void(std::u16string_view keyPath, RegistryChange change, std::u16string_view valueName)>;
int RegistryAddObserver(RegistryObserver observer);
void RegistryRemoveObserver(int cookie);

} // namespace host
