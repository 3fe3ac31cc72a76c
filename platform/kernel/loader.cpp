// The driver loader. Images are shared libraries mapped once and never unmapped: an unload runs the
// driver's unload routine and the verifier's checks but keeps the mapping, so a later load of the same
// service runs DriverEntry again in the same mapping (its globals keep what the last run left there).
#include "iomgr.h"

#include <host/executive.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/pool.h>
#include <host/registry.h>
#include <host/utf.h>

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>

namespace host
{
namespace
{

struct Loaded {
    std::u16string service;
    std::u16string registryPath;
    std::u16string driverName;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    Image* image = nullptr;
    int references = 0;
};

struct Loader {
    std::mutex lock;
    std::map<std::u16string, PDRIVER_INITIALIZE> builtins; // by upper-cased service name
    std::map<std::u16string, std::unique_ptr<Loaded>> loaded;
};

Loader& L()
{
    static Loader* loader = new Loader;
    return *loader;
}

// Finds the entry point: a built-in one, or DriverEntry of the image named by the service's ImagePath.
NTSTATUS FindEntry(std::u16string_view service, const std::u16string& registryPath, PDRIVER_INITIALIZE* entry,
                   bool* builtin)
{
    *builtin = false;
    {
        std::lock_guard<std::mutex> guard(L().lock);
        auto it = L().builtins.find(io::Upcase(service));
        if (it != L().builtins.end()) {
            *entry = it->second;
            *builtin = true;
            return STATUS_SUCCESS;
        }
    }
    auto value = RegistryGetValue(registryPath, u"ImagePath");
    if (!RegistryKeyExists(registryPath))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ) || value->data.size() < 2)
        return STATUS_INVALID_IMAGE_FORMAT;
    void* handle = dlopen(utf::ToUtf8(io::RegistryText(value->data)).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return STATUS_INVALID_IMAGE_FORMAT;
    void* symbol = dlsym(handle, "DriverEntry");
    if (symbol == nullptr)
        return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    *entry = reinterpret_cast<PDRIVER_INITIALIZE>(symbol);
    return STATUS_SUCCESS;
}

// The image's unload checks, then frees what they reported so the next test starts clean. A built-in
// driver shares the executable's image with the test and the host's own threads, so its unload is
// not checked: the checks would see them all.
int CheckUnload(Image* image)
{
    if (image == ImageMain())
        return 0;
    int reports = ImageCheckUnload(image);
    PoolFreeAll(image);
    return reports;
}

} // namespace

void DriverRegisterBuiltin(std::u16string_view service, PDRIVER_INITIALIZE entry)
{
    std::lock_guard<std::mutex> guard(L().lock);
    L().builtins[io::Upcase(service)] = entry;
}

NTSTATUS DriverLoad(std::u16string_view service, PDRIVER_OBJECT* driver)
{
    *driver = nullptr;
    if (service.empty() || service.find(u'\\') != std::u16string_view::npos)
        return STATUS_OBJECT_NAME_INVALID;
    {
        std::lock_guard<std::mutex> guard(L().lock);
        auto it = L().loaded.find(io::Upcase(service));
        if (it != L().loaded.end()) {
            it->second->references++;
            *driver = &it->second->object;
            return STATUS_SUCCESS;
        }
    }
    auto loaded = std::make_unique<Loaded>();
    loaded->service = service;
    loaded->registryPath = std::u16string(kServicesKey) + u"\\" + std::u16string(service);
    loaded->driverName = u"\\Driver\\" + std::u16string(service);
    PDRIVER_INITIALIZE entry = nullptr;
    bool builtin = false;
    NTSTATUS status = FindEntry(service, loaded->registryPath, &entry, &builtin);
    if (!NT_SUCCESS(status))
        return status;
    if (!builtin)
        loaded->image = ImageRegister(utf::ToUtf8(service), reinterpret_cast<const void*>(entry));
    if (loaded->image == nullptr)
        loaded->image = ImageMain();
    PDRIVER_OBJECT object = &loaded->object;
    object->Type = 4;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &loaded->extension;
    object->DriverInit = entry;
    object->DriverName = io::Counted(loaded->driverName);
    loaded->extension.DriverObject = object;
    loaded->extension.ServiceKeyName = io::Counted(loaded->service);
    UNICODE_STRING registryPath = io::Counted(loaded->registryPath);
    KIRQL irql;
    int locks;
    CallbackEnter("DriverEntry", &irql, &locks);
    status = entry(object, &registryPath);
    CallbackLeave("DriverEntry", irql, locks);
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry must leave nothing behind; its unload routine is not called.
        CheckUnload(loaded->image);
        return status;
    }
    loaded->references = 1;
    *driver = object;
    std::lock_guard<std::mutex> guard(L().lock);
    L().loaded[io::Upcase(service)] = std::move(loaded);
    return STATUS_SUCCESS;
}

int DriverUnload(std::u16string_view service)
{
    std::unique_ptr<Loaded> loaded;
    {
        std::lock_guard<std::mutex> guard(L().lock);
        auto it = L().loaded.find(io::Upcase(service));
        if (it == L().loaded.end())
            return -1;
        if (--it->second->references > 0)
            return 0;
        loaded = std::move(it->second);
        L().loaded.erase(it);
    }
    if (loaded->object.DriverUnload != nullptr) {
        KIRQL irql;
        int locks;
        CallbackEnter("DriverUnload", &irql, &locks);
        loaded->object.DriverUnload(&loaded->object);
        CallbackLeave("DriverUnload", irql, locks);
    }
    return CheckUnload(loaded->image);
}

PDRIVER_OBJECT DriverFind(std::u16string_view service)
{
    std::lock_guard<std::mutex> guard(L().lock);
    auto it = L().loaded.find(io::Upcase(service));
    return it == L().loaded.end() ? nullptr : &it->second->object;
}

Image* DriverImage(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(L().lock);
    for (auto& [key, loaded] : L().loaded)
        if (&loaded->object == driver)
            return loaded->image;
    return nullptr;
}

} // namespace host
