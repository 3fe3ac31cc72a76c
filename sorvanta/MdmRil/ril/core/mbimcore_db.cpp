#include "mbimcore_db.h"

_MbimCoreDataBase g_MbimCoreDb;
