// The production recipe ("Product.ini" and its image files), read once at
// start-up. Fields keep the names the station uses everywhere. Once loaded the
// recipe is read-only: the layers below the window take it as
// `const ProductSettings&`; what a run or a port changes lives in the run's
// own state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recipe/image.h"

namespace galmor {

struct ProductSettings {
    std::string Vid, Pid;
    std::string UsbManufacturer, UsbProduct, ScsiVendor, ScsiProduct;
    double FirstPartitionShare = 0.0;
    double SecondPartitionShare = 0.0;
    bool OneMegReserved = false;
    int16_t ApplicationMode = 0;
    std::string DiskLabel;
    int16_t DiskCapacityMb = 0;
    std::string FilesFolder;  // ends in "/" when set
    int32_t SecondReservedSectors = 0;
    bool CompareDisk = false;  // initial state of the "Compare Disk" box
    bool SerialNumberFlag = false;
    bool bNoRomeableDisk = false;
    bool bNoLoaderDisk = false;

    // Serial number: 8 characters, or a 3-character prefix padded with blanks.
    std::string SerialNumber = std::string(8, ' ');
    bool SerialSectionPresent = false;
    bool SerialGiven = false;
    bool SerialComplete = false;

    std::string LoaderImagePath;
    int32_t LoaderImageSectors = 0;
    ImageFile LoaderImage;  // read in pieces; sectors past its end are zeros
    std::string ReserveImagePath;
    int32_t ReserveImageSectors = 0;
    int32_t TotalReservedSectors = 0;
    ImageFile ReserveImage;  // read in pieces; sectors past its end are zeros
};

}  // namespace galmor
