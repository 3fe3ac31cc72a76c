// Stands in for the CLDMA engine's write limit per TX queue: 3584 unless the test sets another.
#pragma once

#include "hif/ccci_hif.h"

namespace doubles
{

void SetCldmaTxMaxSize(int size);

} // namespace doubles
