// Finding the disks of the controller family and filling the port table.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/port.h"

namespace galmor {

struct StationCore;

// One discovery: probe pass, removal clean-up (arrived false), collecting pass,
// evaluation, and the start controls. Not patient: a look again at units that
// could not be opened, which waits for no unit.
void PollingDiskStatus(StationCore& st, bool arrived, bool patient = true);
// The discovery of rolling production. Rows marked busy (their job runs)
// keep their disk, record and row untouched, and their device gets no command
// from it; every other disk found takes the row that showed it before, else a
// free row that last held a disk in its USB port, else the first free row.
// Only the first kMaxRunPorts rows are used; DiskCount covers the highest
// row in use (rows below it may be empty).
void PollingDiskStatusKeeping(StationCore& st, bool arrived,
                              const std::array<bool, kMaxRunPorts>& busy, bool patient = true);

// Whether a row still shows a unit of the family that could not be opened or
// probed and it is time to look at the bus again (every 2 s, for 60 s after
// the notice that brought it); true once per due look.
bool OpenRetryDue(StationCore& st);

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
