// A CLDMA engine that only captures what the port layer sends: set its operations on the HIF ids under
// test (any non-null controller) and read back the frames, in order.
#pragma once

#include <vector>

#include "ccci_hif.h"

namespace doubles
{

extern const struct ccci_hif_ops kHifCaptureOps;
// The frames sent since the last clear.
std::vector<std::vector<u8>> HifCaptured();
void HifCaptureClear();

} // namespace doubles
