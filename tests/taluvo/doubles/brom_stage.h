// Stands in for the state machine's boot-ROM stage flag, which the test sets.
#pragma once

namespace doubles
{

void SetBromStage(bool set);

} // namespace doubles
