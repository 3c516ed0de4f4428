#include "run/polling_timer.h"

#include "core/monitor_link.h"
#include "run/discovery.h"
#include "run/station.h"
#include "stage_marks.h"

namespace galmor {

bool Timer1_Timer(StationCore& st) {
    if (st.RunInProgress || !st.View().PollingTimer()) return false;
    if (st.DeviceEvent == kDeviceEventArrival) {
        dorvel_link::MarkStage("discovery");
        PollingDiskStatus(st, true);
        dorvel_link::MarkStage("discovered");
        st.DeviceEvent = kDeviceEventHandled;
        return true;
    }
    if (st.DeviceEvent == kDeviceEventRemoval) {
        dorvel_link::MarkStage("discovery");
        PollingDiskStatus(st, false);
        dorvel_link::MarkStage("discovered");
        st.DeviceEvent = kDeviceEventHandled;
        return true;
    }
    return false;
}

}  // namespace galmor
