// Stands in for the CLDMA engine's operations that the HIF dispatch reaches: records each call as
// "op hif" and answers with results the test sets; the controller is a bare allocation registered
// with the dispatch, and the hardware records are the real ones.
#pragma once

#include "hif/ccci_hif.h"

#include <string>
#include <vector>

namespace doubles
{

std::vector<std::string>& CldmaCalls();
// What `op` ("alloc", "init", "start", "stop", ...) answers for `hif`; 0 unless set ("alloc": non-zero
// fails the creation).
void SetCldmaResult(const std::string& op, u8 hif, int result);
void ResetCldma();

} // namespace doubles
