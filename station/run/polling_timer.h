// The window's 50 ms device-polling timer: a pending device event from the
// monitor's notices becomes a discovery at the next tick.
#pragma once

namespace galmor {

struct StationCore;

// One tick: a pending arrival or removal becomes a discovery, unless the
// timer is switched off (the run switches it off at its start and on again
// when its last job ends; Clear switches it on) or a run is in progress; the
// event then stays pending. True when a discovery ran.
bool Timer1_Timer(StationCore& st);

}  // namespace galmor
