// Finding the disks of the controller family and filling the port table.
#pragma once

#include <cstdint>

namespace galmor {

struct StationCore;

// One discovery: probe pass, removal clean-up (arrived false), collecting pass,
// evaluation, and the start controls.
void PollingDiskStatus(StationCore& st, bool arrived);
// Reads the first line of the library's device-path log.
void ReadDevicePathLog(StationCore& st, int16_t selector);

}  // namespace galmor
