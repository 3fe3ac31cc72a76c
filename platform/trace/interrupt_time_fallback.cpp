// Trace lines are stamped with the host clock's interrupt time. Until the executive's clock is linked
// into the host, this weak definition keeps the host self-contained; the clock's definition wins.
#include <wdm.h>

extern "C" __attribute__((weak)) ULONGLONG KeQueryInterruptTime(void) { return 0; }
