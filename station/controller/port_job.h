// What one port's steps work with: the library, the read-only recipe, the
// port's record and row, this port's values for the run, and the run's state.
// Steps take a PortJob and nothing else of the station.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/port.h"
#include "core/sarnik_api.h"
#include "core/view.h"
#include "recipe/settings.h"

namespace galmor {

// The recipe's layout choices as one port's run uses them. Each format of a
// port starts from the recipe's values; what the format step decides for this
// port (an old controller's removable layout, a disabled loader) changes only
// these, never the recipe or another port.
struct PortRunValues {
    int32_t LoaderImageSectors = 0;
    bool bNoRomeableDisk = false;
    bool bNoLoaderDisk = false;
    // The whole reserved area: the recipe's, or what this port's layout
    // recomputed (a non-removable disk reserves all it does not use for the
    // loader). The configuration block carries this value.
    int32_t TotalReservedSectors = 0;
    // Set by the format step: the values are what this port was formatted with.
    bool formatted = false;
    // TotalReservedSectors was worked out from this disk's chips without a
    // format (a Manufacture run without Format on a non-removable disk).
    bool layoutKnown = false;

    static PortRunValues From(const ProductSettings& s) {
        PortRunValues v;
        v.LoaderImageSectors = s.LoaderImageSectors;
        v.bNoRomeableDisk = s.bNoRomeableDisk;
        v.bNoLoaderDisk = s.bNoLoaderDisk;
        v.TotalReservedSectors = s.TotalReservedSectors;
        return v;
    }
    // The loader disk size these values lay out: none when the loader disk is
    // disabled (a non-removable disk always keeps its loader disk).
    int64_t LoaderDiskSectors() const {
        return bNoLoaderDisk && !bNoRomeableDisk ? 0 : LoaderImageSectors;
    }
};

// A serial number as a production log hands it out.
struct SerialReservation {
    bool ok = true;
    std::string serial;
    std::string message;  // why there is none
};
// Given the port index, whether the recipe gives every disk the same serial,
// the configured prefix and the station's draw, returns a serial that no
// other disk of this product holds.
using SerialReserver =
    std::function<SerialReservation(int16_t index, bool fixed, const std::string& prefix,
                                    const std::function<std::string()>& draw)>;

// Told of each configuration block just before it is written (the
// production log records the disk first); false, with the reason, keeps the
// block from being written.
using ConfigAnnouncer = std::function<bool(int16_t index, const std::array<uint8_t, kSector>& block,
                                           std::string* message)>;

// The serial numbers a station hands out: seeded from the recipe, then the
// last chosen number (a drawn number stays for the following disks).
class SerialSource {
  public:
    // Starts again from the recipe's serial number.
    void Reset(const ProductSettings& s);
    // The number for a configuration block that is written now.
    std::string Select(const ProductSettings& s);
    // Installs the production log's reservation (empty: none). Set while no
    // run is going on.
    void SetReserver(SerialReserver r);
    // The number for a block written now on port `index`, reserved in the
    // production log when one is installed; false with the reason when no
    // serial could be reserved.
    bool Select(const ProductSettings& s, int16_t index, std::string* serial, std::string* message);
    // The number last chosen (or the recipe's before any was chosen).
    std::string Current(const ProductSettings& s) const;
    // Installs the hook told of each block before it is written (empty:
    // none). Set while no run is going on.
    void SetAnnouncer(ConfigAnnouncer a);
    // True when the block may be written now.
    bool Announce(int16_t index, const std::array<uint8_t, kSector>& block,
                  std::string* message) const;

  private:
    mutable std::mutex mu_;
    bool seeded_ = false;
    std::string number_;
    SerialReserver reserver_;
    ConfigAnnouncer announcer_;
};

// State of one run shared by its ports.
struct RunState {
    std::atomic<bool> AnyFailed{false};
    // Per port: a step of the port's current job failed (what AnyFailed says
    // for the whole run, kept per port for jobs that end one by one).
    std::array<std::atomic<bool>, kMaxPorts> PortFailed{};
    // The "Compare Disk" box as it was when the run started.
    std::atomic<bool> CompareDisk{false};
    // The "Check Size (MB)" box read as a number when the run started.
    std::atomic<int16_t> DiskCapacityMb{0};
    std::array<PortRunValues, kMaxPorts> ports{};
    SerialSource serial;
};

struct PortJob {
    SarnikApi& lib;
    const ProductSettings& recipe;
    PortRecord& port;
    PortView& view;
    RunState& run;
    PortRunValues& values;
    // The boot-sector template the file systems are built from.
    const std::array<uint8_t, kSector>& bootTemplate;
    int16_t slot = 0;  // 1-based port number

    int row() const { return slot - 1; }
    int16_t index() const { return static_cast<int16_t>(slot - 1); }
    // Marks the port failed for the run's banner.
    void Fail() const {
        run.AnyFailed = true;
        run.PortFailed.at(static_cast<size_t>(index())) = true;
    }
};

}  // namespace galmor
