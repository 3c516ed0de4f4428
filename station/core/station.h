// The station's state: command library, recipe, port table, window model and
// the run's shared flags. Every station procedure takes it as its first
// argument; there is one per program (tests make their own).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/port.h"
#include "core/sarnik_api.h"
#include "core/workers.h"
#include "ui/model.h"
#include "ui/settings.h"

namespace galmor {

struct StationLog;

// A serial number as the production log hands it out.
struct SerialReservation {
    bool ok = true;
    std::string serial;
    std::string message;  // why there is none
};

struct Station {
    Sarnik lib;
    // The program's own folder: where "Product.ini" is read from.
    std::string HomeDir;
    ProductSettings settings;
    WindowModel model;

    PortTable ports;
    std::atomic<int16_t> DiskCount{0};

    // Discovery state.
    std::string LastDevicePath;
    bool NoCdromUnit = true;
    int32_t LastResult = 0;

    // Run state.
    std::atomic<bool> RunInProgress{false};
    std::atomic<bool> AnyFailed{false};
    std::atomic<int16_t> FinishedCount{0};

    // The production log (none with --no-log) and the serial reservation it
    // installs: given the port index, whether the recipe fixes the serial,
    // the configured prefix and the station's draw, it hands out a serial
    // that no other disk of this product holds.
    std::shared_ptr<StationLog> log;
    std::function<SerialReservation(int16_t index, bool fixed, const std::string& prefix,
                                    const std::function<std::string()>& draw)>
        ReserveSerial;

    // The boot-sector template, built once at start-up.
    std::array<uint8_t, kSector> BootSectorTemplate{};

    // Lets the window process its pending events during a pause (window
    // thread only). Empty in headless use.
    std::function<void()> ProcessEvents;
    // Time of day in seconds (with fractions) since midnight; replaceable in tests.
    std::function<double()> TimeOfDay;
    // The thread that runs the window; only there may a pause process events.
    std::thread::id WindowThread;

    // Declared last: destroyed first, so every worker is stopped and joined
    // while the rest of the station still exists.
    StationWorkers workers;

    Station();
};

// The station's pause: a busy wait on the time of day that keeps the window
// responsive and survives midnight. Honours the calling worker's stop request.
void WaitSeconds(Station& st, float seconds);

}  // namespace galmor
