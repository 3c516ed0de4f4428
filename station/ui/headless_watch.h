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
};

// Runs until stop_fd is readable and returns 0 (4 on a failure of the loop
// itself); the caller ends the monitor link, then the workers. Each finished
// run is printed and, with opts.report, appended to that file as one JSON
// object per line.
int RunHeadlessWatch(Station& st, MonitorLink& link, const HeadlessOptions& opts,
                     const WatchOptions& watch, std::ostream& out);

}  // namespace galmor
