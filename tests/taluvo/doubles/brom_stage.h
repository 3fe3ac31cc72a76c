// Stands in for the state machine's boot-ROM stage flag, which the test sets.
// Wraps: ccci_fsm_brom_stage
#pragma once

namespace doubles
{

void SetBromStage(bool set);

} // namespace doubles
