#include "run/polling_timer.h"

#include "core/monitor_link.h"
#include "run/discovery.h"
#include "run/station.h"

namespace galmor {

bool Timer1_Timer(StationCore& st) {
    if (st.RunInProgress || !st.View().PollingTimer()) return false;
    if (st.DeviceEvent == kDeviceEventArrival) {
        PollingDiskStatus(st, true);
        st.DeviceEvent = kDeviceEventHandled;
        return true;
    }
    if (st.DeviceEvent == kDeviceEventRemoval) {
        PollingDiskStatus(st, false);
        st.DeviceEvent = kDeviceEventHandled;
        return true;
    }
    return false;
}

}  // namespace galmor
