// The watching station: the headless view kept running. It takes the
// monitor's notices as the window does (the hook, then the 50 ms polling
// timer with its run gate), prints the window after each discovery, and with
// an auto-run count starts a production run as soon as that many fresh disks
// are present.
#pragma once

#include <ostream>

#include "ui/headless.h"

namespace galmor {

struct Station;
class MonitorLink;

struct WatchOptions {
    // Start a run once this many disks are present, none of them run before
    // (0: never).
    int auto_run = 0;
    // Readable when the station is asked to end (a signalfd).
    int stop_fd = -1;
    // Rolling production instead of batch runs (run/rolling.h).
    bool rolling = false;
    bool low_level_format = false;  // each disk gets the low-level format first
    bool rework = false;            // finished disks seated again run again
    int lot = 0;                    // stop arming after this many passed (0: open lot)
};

// Runs until stop_fd is readable and returns 0 (4 on a failure of the loop
// itself); the caller ends the monitor link, then the workers. Each finished
// run is printed and, with opts.report, appended to that file as one JSON
// object per line. Rolling: the lot id is printed at the start, the grid
// and the lot's counts after every change, and each finished disk is one
// report line.
int RunHeadlessWatch(Station& st, MonitorLink& link, const HeadlessOptions& opts,
                     const WatchOptions& watch, std::ostream& out);

}  // namespace galmor
