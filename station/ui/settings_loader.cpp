// Start-up with the recipe: the recipe read into the station, its messages
// and choices shown in the window, and the summary labels.
#include "ui/settings_loader.h"

#include <iostream>

#include "media/media.h"
#include "ui/controls.h"
#include "ui/grid.h"
#include "ui/station.h"

namespace galmor {

LoadResult LoadProductSettings(Station& st) {
    WindowModel& m = st.model;
    const RecipeLoad load = LoadRecipe(st.HomeDir, st.settings);
    for (const auto& msg : load.messages) m.ShowMessage(msg.text, msg.icon);
    for (const auto& w : load.warnings) std::cerr << "galmor: warning: " << w << "\n";
    if (load.compareDisk) m.SetChecked(ctl::kCheckCompare, -1, *load.compareDisk);
    st.settings.CompareDisk = m.Get1(ctl::kCheckCompare).checked;
    if (load.capacityGiven) {
        m.SetCaption(ctl::kCombo1, -1, std::to_string(st.settings.DiskCapacityMb));
    }
    st.run.serial.Reset(st.settings);
    return load.result;
}

bool ShowProductSettings(Station& st) {
    WindowModel& m = st.model;
    const LoadResult result = LoadProductSettings(st);
    if (result == LoadResult::Rejected) {
        m.ShowMessage("Partition Information error", Icon::Error);
        return false;
    }
    if (result == LoadResult::BadPartitionCount) {
        m.ShowMessage("Open Product.ini failed", Icon::Error);
        return false;
    }
    if (result != LoadResult::Accepted) return false;  // refused with its own message
    const ProductSettings& s = st.settings;
    m.SetCaption(ctl::kVidPidLab, -1, "VID = " + s.Vid + "  PID = " + s.Pid);
    m.SetCaption(ctl::kUsbStrLab, -1, "USB String = " + s.UsbManufacturer + "  " + s.UsbProduct);
    m.SetCaption(ctl::kScsiStrLab, -1, "SCSI String = " + s.ScsiVendor + "  " + s.ScsiProduct);
    m.SetCaption(ctl::kDiskLabContent, -1, "7306");
    // The "DISK TYPE" frame only displays: it shows how the recipe makes the
    // disks report themselves.
    const bool fixed = s.bNoRomeableDisk;
    m.SetChecked("Option1", -1, fixed);
    m.SetChecked("Option2", -1, !fixed);
    BuildBootSectorTemplate(st.BootSectorTemplate);
    BuildPortIndicators(st, 7);
    for (int port = 0; port <= 6; ++port) ResetPortIndicators(st, true, port);
    return true;
}

}  // namespace galmor
