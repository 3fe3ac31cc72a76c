#include "cldma_engine.h"

namespace
{
int g_tx_max_size = 3584;
}

void doubles::SetCldmaTxMaxSize(int size)
{
    g_tx_max_size = size;
}

int cldma_tx_max_size(u8, u8, u8)
{
    return g_tx_max_size;
}
