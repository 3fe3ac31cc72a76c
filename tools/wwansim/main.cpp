// The system simulator: boots the emulated host, loads the package and shows what it does.
#include <cstdio>

#include <host/host.h>

int main()
{
    host::Config config;
    config.clock = host::ClockMode::Real;
    host::Start(config);
    printf("wwansim: emulated host started (%u processors, real-time clock)\n", config.processors);
    printf("wwansim: loaded images: none\n");
    host::Shutdown();
    printf("wwansim: emulated host stopped\n");
    return 0;
}
