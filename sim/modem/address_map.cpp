// The map is constants only; this unit keeps the library non-empty until the models land.
#include "sim/modem/address_map.h"
