// The service executable's entry: the process's main thread becomes the service control dispatcher.
// The service has no console mode, and the process ends the same way whatever the dispatcher says.
#include "ServiceFrame.h"

// The image's one export: the service control manager starts the executable here.
__attribute__((visibility("default"))) int main(int, char**)
{
    DispatchService();
    return 0;
}
