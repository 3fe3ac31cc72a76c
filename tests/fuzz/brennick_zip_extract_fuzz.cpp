// Archives from outside (the service's package) fed to the extraction in memory: every entry is
// described, read into memory in parts and extracted below a target directory by its guarded name, as
// the service does. Nothing may crash, loop, or land outside the target.
#include "ZipExtract.h"

#include <host/files.h>
#include <host/host.h>
#include <host/process.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace
{

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

host::FilesTemporarySandbox* g_sandbox;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    host::Start(host::Config{});
    static host::FilesTemporarySandbox sandbox;
    g_sandbox = &sandbox;
    host::CurrentProcess().currentDirectory = u"C:\\";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ZipHandle* zip = OpenZipFromMemory(data, static_cast<DWORD>(size), "pw");
    if (zip == nullptr)
        return 0;
    ZipEntryInfo info{};
    Check(GetZipItem(zip, -1, &info) == ZipResult::Success);
    int count = info.index < 64 ? info.index : 64;
    for (int i = 0; i < count; ++i) {
        char block[4096];
        for (int part = 0;
             part < 64 && UnzipItemToMemory(zip, i, block, sizeof(block)) == ZipResult::MoreData; ++part) {
        }
        if (GetZipItem(zip, i, &info) != ZipResult::Success)
            continue;
        Check(info.name[0] != '\0' && strchr(info.name, ':') == nullptr);
        std::string target = std::string("C:\\fuzz\\") + info.name;
        UnzipItemToFile(zip, i, target.c_str());
    }
    Check(CloseZipFile(zip) == ZipResult::Success);

    std::filesystem::path drive = g_sandbox->Root() / "C";
    for (const auto& entry : std::filesystem::directory_iterator(drive)) {
        std::string name = entry.path().filename().string();
        Check(name == "Windows" || name.rfind("fuzz", 0) == 0);
    }
    std::filesystem::remove_all(drive / "fuzz");
    std::error_code ignored;
    std::filesystem::remove(drive / "fuzz:meta", ignored);
    return 0;
}
