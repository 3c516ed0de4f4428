// What one port's steps work with: the library, the read-only recipe, the
// port's record and row, this port's values for the run, and the run's state.
// Steps take a PortJob and nothing else of the station.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
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
    // Set by the format step: the values are what this port was formatted with.
    bool formatted = false;

    static PortRunValues From(const ProductSettings& s) {
        PortRunValues v;
        v.LoaderImageSectors = s.LoaderImageSectors;
        v.bNoRomeableDisk = s.bNoRomeableDisk;
        v.bNoLoaderDisk = s.bNoLoaderDisk;
        return v;
    }
    // The loader disk size these values lay out: none when the loader disk is
    // disabled (a non-removable disk always keeps its loader disk).
    int64_t LoaderDiskSectors() const {
        return bNoLoaderDisk && !bNoRomeableDisk ? 0 : LoaderImageSectors;
    }
};

// The serial numbers a station hands out: seeded from the recipe, then the
// last chosen number (a drawn number stays for the following disks).
class SerialSource {
  public:
    // Starts again from the recipe's serial number.
    void Reset(const ProductSettings& s);
    // The number for a configuration block that is written now.
    std::string Select(const ProductSettings& s);
    // The number last chosen (or the recipe's before any was chosen).
    std::string Current(const ProductSettings& s) const;

  private:
    mutable std::mutex mu_;
    bool seeded_ = false;
    std::string number_;
};

// State of one run shared by its ports.
struct RunState {
    std::atomic<bool> AnyFailed{false};
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
    void Fail() const { run.AnyFailed = true; }
};

}  // namespace galmor
