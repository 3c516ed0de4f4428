#include "run/polling_timer.h"

#include "core/monitor_link.h"
#include "run/discovery.h"
#include "run/rolling.h"
#include "run/station.h"
#include "stage_marks.h"

namespace galmor {

bool Timer1_Timer(StationCore& st) {
    // Rolling production looks at the bus with its own discovery, which keeps
    // the working sockets' disks where they are.
    if (RollingArmed(st) || st.rolling.running.load() > 0) return RollingTick(st);
    if (st.RunInProgress || !st.View().PollingTimer()) return false;
    int16_t event = st.DeviceEvent;
    const bool notice = event == kDeviceEventArrival || event == kDeviceEventRemoval;
    // No event may come for a unit that udev makes openable late: look again.
    const bool again = !notice && OpenRetryDue(st);
    if (!notice && !again) return false;
    if (again) event = kDeviceEventArrival;
    // Handled before the discovery runs: a notice that comes while it runs
    // (a message box lets the hook in) stays pending for the next tick.
    if (notice) st.DeviceEvent = kDeviceEventHandled;
    dorvel_link::MarkStage("discovery");
    PollingDiskStatus(st, event == kDeviceEventArrival, !again);
    dorvel_link::MarkStage("discovered");
    return true;
}

}  // namespace galmor
