// The production recipe ("Product.ini" and its image files), read once at
// start-up. Fields keep the names the station uses everywhere. A few values are
// written again while a run goes on (by the format step on every port, always
// to the same value, or by Start); those are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace galmor {

struct ProductSettings {
    std::string Vid, Pid;
    std::string UsbManufacturer, UsbProduct, ScsiVendor, ScsiProduct;
    double FirstPartitionShare = 0.0;
    double SecondPartitionShare = 0.0;
    bool OneMegReserved = false;
    int16_t ApplicationMode = 0;
    std::string DiskLabel;
    std::atomic<int16_t> DiskCapacityMb{0};
    std::string FilesFolder;  // ends in "/" when set
    int32_t SecondReservedSectors = 0;
    bool CompareDisk = false;  // initial state of the "Compare Disk" box
    bool SerialNumberFlag = false;
    std::atomic<bool> bNoRomeableDisk{false};
    std::atomic<bool> bNoLoaderDisk{false};

    // Serial number: 8 characters, or a 3-character prefix padded with blanks.
    // Guarded by serial_mutex while a run draws serial numbers.
    std::string SerialNumber = std::string(8, ' ');
    bool SerialSectionPresent = false;
    bool SerialGiven = false;
    bool SerialComplete = false;
    mutable std::mutex serial_mutex;

    std::string LoaderImagePath;
    std::atomic<int32_t> LoaderImageSectors{0};
    std::vector<uint8_t> LoaderImage;
    std::string ReserveImagePath;
    int32_t ReserveImageSectors = 0;
    int32_t TotalReservedSectors = 0;
    std::vector<uint8_t> ReserveImage;
};

}  // namespace galmor
