#include "brennick_doubles.h"

#include "StateWork.h"

#include <host/image.h>

namespace {

void Record(std::string_view call)
{
    host::TraceWrite(host::ImageFromAddress(reinterpret_cast<const void*>(&Record)), host::TraceStream::DbgPrint,
                     4 /* informational */, 0, nullptr, call);
}

} // namespace

void CStateWork::CheckFilterInstallation()
{
    Record(brennicktest::kInstallationCheckCall);
}

void ShowUninstallWarningDiag()
{
    Record(brennicktest::kWarningCall);
}

void CStateWork::DisableTaluvoDriver()
{
    Record(brennicktest::kDisableCall);
}
