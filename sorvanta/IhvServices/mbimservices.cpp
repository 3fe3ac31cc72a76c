#include "mbimservices.h"

#include "ihv_log.h"

IhvServices::IhvServices(uint32_t modem_context_handle) : modemContextHandle(modem_context_handle)
{
}

IhvServices::~IhvServices()
{
    requests.clear();
    IHV_LOG_VERBOSE("~IhvServices ");
}

MbimServices::MbimServices(uint32_t modem_context_handle)
    : IhvServices(modem_context_handle), max_control_transfer(MBIM_DEFAULT_MAX_CONTROL_TRANSFER), opened(0)
{
}

MbimServices::~MbimServices() = default;
