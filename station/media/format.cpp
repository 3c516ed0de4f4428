// The "Format" item of a production run for one port: controller checks, the
// controller's low-level format sequence, the layout with its images and file
// systems, the boot-sector read-back, and the port's "Format" column.
#include <array>
#include <exception>
#include <filesystem>
#include <system_error>

#include "controller/controller.h"
#include "core/station.h"
#include "media/format_internal.h"
#include "media/media.h"
#include "ui/grid.h"

namespace galmor {

namespace {

constexpr int16_t kStatusChipList = 0x93;
constexpr int16_t kStatusDeviceInfo = 0x75;
constexpr int16_t kStatusLoaderMismatch = 0xE1;
constexpr int16_t kStatusPassword = 0x7F;
constexpr int16_t kStatusWriteProtect = 0x7E;
constexpr int16_t kStatusNoFlash = 0xE5;
constexpr int16_t kStatusBootSector = 0x9B;
constexpr int16_t kStatusRuntime = 0xFF;

// Controllers below this revision only work in removable mode with a 1 MiB
// loader disk.
constexpr int kRevisionFull = 5;
constexpr int32_t kOldRevisionLoaderSectors = 2048;
// From this revision on the write-protect state is in the status flags.
constexpr int kRevisionStatusFlags = 3;
constexpr uint8_t kNoPassword = 0xC0;
constexpr int kSetupPage2 = 2;
constexpr int kSetupPage4 = 4;
constexpr int kSetupPageSelector = 0x09;

// Length of an image file, or the size of its copy in memory when the file
// cannot be read now.
uint64_t ImageLength(const std::string& path, size_t inMemory) {
    std::error_code ec;
    if (!path.empty()) {
        const auto n = std::filesystem::file_size(path, ec);
        if (!ec) return n;
    }
    return inMemory;
}

bool BootSectorReadsBack(Station& st, int32_t h, int64_t lba) {
    std::array<uint8_t, kSector> local{};
    if (!st.lib.Read(h, 1, static_cast<int32_t>(lba), local.data())) return false;
    return local[0] == 0xEB && local[1] == 0x3C && local[2] == 0x90;
}

// Runs the checks, the format sequence and the layout. Returns false on an
// unexpected runtime error; every other outcome is the port's ErrorStatus.
bool FormatSteps(Station& st, int16_t slot) {
    PortRecord& port = st.ports[slot - 1];
    ProductSettings& s = st.settings;
    const int row = slot - 1;
    const int32_t h = port.Handle;

    if (!st.lib.VendorR(h, sub::kChipList, port.ReplyBuffer.data())) {
        port.ErrorStatus = kStatusChipList;
        return true;
    }
    std::array<uint8_t, kSector> info{};
    if (!st.lib.VendorR(h, sub::kDeviceInfo, info.data())) {
        // Without the device information every test below would judge
        // an empty buffer (and an old revision would change the recipe).
        port.ErrorStatus = kStatusDeviceInfo;
        return true;
    }
    port.Revision = info[devinfo::kRevision];
    if (port.Revision < kRevisionFull) {
        if (s.LoaderImageSectors.load() != kOldRevisionLoaderSectors) {
            port.ErrorStatus = kStatusLoaderMismatch;
            return true;
        }
        s.bNoRomeableDisk = false;
    }
    if (info[devinfo::kPassword] != kNoPassword) {
        port.ErrorStatus = kStatusPassword;
        return true;
    }
    const bool writeProtected = port.Revision >= kRevisionStatusFlags
                                    ? info[devinfo::kStatusFlags] != 0
                                    : info[devinfo::kWpSwitch] == 0;
    if (writeProtected) {
        port.ErrorStatus = kStatusWriteProtect;
        return true;
    }
    if (!ParseChipTable(st, slot)) return false;
    if (port.NominalSectors == 0) {
        port.ErrorStatus = kStatusNoFlash;
        return true;
    }
    st.model.SetMaximum("ProgressBar", row,
                        ProgressMaximum(ImageLength(s.LoaderImagePath, s.LoaderImage.size()),
                                        ImageLength(s.ReserveImagePath, s.ReserveImage.size())));
    if (port.ErrorStatus != 0) return true;

    // The controller's low-level format sequence; its results are not judged.
    // Setup page 2 goes back only as it was read: after a failed read the
    // buffer holds an earlier block, which must never become a setup page.
    uint8_t* page = port.SectorBuffer.data();
    if (st.lib.VendorScan(h, sub::kSetupRead, kSetupPageSelector, 0, 0, kSetupPage2, 0, kSector,
                          page) == 1) {
        st.lib.VendorW(h, sub::kSetupWrite, kSector, page);
        st.lib.VendorR(h, sub::kPasswordApply, page);
    }
    st.lib.VendorScan(h, sub::kSetupRead, kSetupPageSelector, 0, 0, kSetupPage4, 0, kSector, page);

    PortLayout layout;
    Fdisk7301(st, slot, &layout);
    if (st.model.Get("CheckCompare").checked) ScanDisk7301(st, slot);

    // Each user partition's boot sector must read back. The layout this port
    // was given decides which sectors those are.
    if (port.ErrorStatus == 0 && !layout.nonRemovable) {
        if (!BootSectorReadsBack(st, h, layout.FirstPartitionStart())) {
            port.ErrorStatus = kStatusBootSector;
        }
        if (layout.twoPartitions && !BootSectorReadsBack(st, h, layout.SecondPartitionStart())) {
            port.ErrorStatus = kStatusBootSector;
        }
    }
    return true;
}

void ShowFormatResult(Station& st, int16_t slot) {
    PortRecord& port = st.ports[slot - 1];
    WindowModel& m = st.model;
    const int row = slot - 1;
    m.SetVisible("ProgressBar", row, false);
    ShowPair(st, "FG", "FR", row);
    const int code = port.ErrorStatus.load();
    if (code == 0) {
        m.SetCaption("FG", row, "V");
        m.SetCaption("FR", row, FormatPassText(port.ChipCount, port.NominalSectors));
        return;
    }
    m.SetPicture("ThumbImage", row, kPictureFailed);
    m.SetCaption("FG", row, "X");
    m.SetCaption("FR", row, FormatErrorText(code));
    st.AnyFailed = true;
}

}  // namespace

void Format7301(Station& st, int16_t slot) {
    if (slot < 1 || slot > kMaxPorts) return;
    PortRecord& port = st.ports[slot - 1];
    const int row = slot - 1;
    try {
        st.model.SetValue("ProgressBar", row, 0);
        st.model.SetVisible("ProgressBar", row, true);
        if (port.ErrorStatus == 0 && !FormatSteps(st, slot)) {
            port.ErrorStatus = kStatusRuntime;
            st.AnyFailed = true;
            return;
        }
        ShowFormatResult(st, slot);
    } catch (const std::exception&) {
        // The column is left as it is; the run still counts the disk as failed.
        port.ErrorStatus = kStatusRuntime;
        st.AnyFailed = true;
    }
}

void ScanDisk7301(Station&, int16_t) {
    // The disk scan reads nothing back: a port's result is what the format
    // step has shown.
}

}  // namespace galmor
