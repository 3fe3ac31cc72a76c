// Images by address range, so that allocations and objects are attributed to the code that made them.
#include <host/image.h>
#include <host/verifier.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace host {

struct Image {
    std::string name;
    const void* base = nullptr; // load base reported by the dynamic loader
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
};

namespace {

struct Registry {
    std::shared_mutex lock;
    std::vector<std::unique_ptr<Image>> images;
    Image* main = nullptr;
    std::vector<UnloadCheck> checks;
};

Registry& Images()
{
    static Registry* registry = new Registry; // lives until exit: images are looked up from any thread
    return *registry;
}

struct RangeQuery {
    uintptr_t target;
    std::vector<std::pair<uintptr_t, uintptr_t>>* ranges;
};

// Collects the loadable segments of the object that contains the target address.
int CollectRanges(dl_phdr_info* info, size_t, void* data)
{
    auto* query = static_cast<RangeQuery*>(data);
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    bool contains = false;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        uintptr_t end = start + ph.p_memsz;
        ranges.emplace_back(start, end);
        contains = contains || (query->target >= start && query->target < end);
    }
    if (!contains)
        return 0;
    *query->ranges = std::move(ranges);
    return 1;
}

Image* Create(Registry& registry, const std::string& name, const void* anyAddressInside)
{
    Dl_info info{};
    if (!dladdr(anyAddressInside, &info))
        return nullptr;
    for (auto& image : registry.images)
        if (image->base == info.dli_fbase) {
            image->name = name;
            return image.get();
        }
    auto image = std::make_unique<Image>();
    image->name = name;
    image->base = info.dli_fbase;
    RangeQuery query{reinterpret_cast<uintptr_t>(anyAddressInside), &image->ranges};
    dl_iterate_phdr(CollectRanges, &query);
    registry.images.push_back(std::move(image));
    return registry.images.back().get();
}

Image* MainLocked(Registry& registry)
{
    if (registry.main == nullptr) {
        registry.main = Create(registry, "main", reinterpret_cast<const void*>(dlsym(RTLD_DEFAULT, "main")));
        if (registry.main == nullptr) {
            registry.images.push_back(std::make_unique<Image>());
            registry.images.back()->name = "main";
            registry.main = registry.images.back().get();
        }
    }
    return registry.main;
}

} // namespace

Image* ImageMain()
{
    Registry& registry = Images();
    std::unique_lock<std::shared_mutex> guard(registry.lock);
    return MainLocked(registry);
}

Image* ImageRegister(const std::string& name, const void* anyAddressInside)
{
    Registry& registry = Images();
    std::unique_lock<std::shared_mutex> guard(registry.lock);
    MainLocked(registry);
    return Create(registry, name, anyAddressInside);
}

Image* ImageFromAddress(const void* codeAddress)
{
    Registry& registry = Images();
    auto address = reinterpret_cast<uintptr_t>(codeAddress);
    {
        std::shared_lock<std::shared_mutex> guard(registry.lock);
        for (auto& image : registry.images)
            if (image.get() != registry.main)
                for (auto& range : image->ranges)
                    if (address >= range.first && address < range.second)
                        return image.get();
        if (registry.main != nullptr)
            return registry.main;
    }
    return ImageMain();
}

const std::string& ImageName(const Image* image) { return image->name; }

std::vector<Image*> ImageList()
{
    Registry& registry = Images();
    std::shared_lock<std::shared_mutex> guard(registry.lock);
    std::vector<Image*> list;
    for (auto& image : registry.images)
        list.push_back(image.get());
    return list;
}

void ImageAddUnloadCheck(UnloadCheck check)
{
    Registry& registry = Images();
    std::unique_lock<std::shared_mutex> guard(registry.lock);
    registry.checks.push_back(std::move(check));
}

int ImageCheckUnload(Image* image)
{
    std::vector<UnloadCheck> checks;
    {
        Registry& registry = Images();
        std::shared_lock<std::shared_mutex> guard(registry.lock);
        checks = registry.checks;
    }
    int reports = 0;
    for (auto& check : checks)
        reports += check(image);
    return reports;
}

} // namespace host
