// Lets a test refuse the framework's queue creation: after `skip` more creations the next `count` fail;
// the others go through to the framework.
// Wraps: WdfIoQueueCreate
#pragma once

#include <wdf.h>

namespace doubles
{

void FailQueueCreates(int count, int skip = 0);

} // namespace doubles
