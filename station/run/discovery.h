// Finding the disks of the controller family and filling the port table.
#pragma once

#include <cstdint>
#include <string>

namespace galmor {

struct StationCore;

// One discovery: probe pass, removal clean-up (arrived false), collecting pass,
// evaluation, and the start controls.
void PollingDiskStatus(StationCore& st, bool arrived);
// Reads the first line of the library's device-path log.
// Why the library's folder cannot hold its device-path log, or "" when it
// can. The station learns which unit it opened only from that log: with a
// folder the library refuses, every open fails, and this tells the reason
// rather than "no disk". A default folder not made yet is fine (the library
// creates it).
std::string LibraryFolderProblem();

// The device a unit's path belongs to: the same for all units of a device.
std::string DeviceKey(const std::string& path);

void ReadDevicePathLog(StationCore& st, int16_t selector);

}  // namespace galmor
