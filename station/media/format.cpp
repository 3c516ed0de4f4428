// The "Format" item of a production run for one port: controller checks, the
// controller's low-level format sequence, the layout with its images and file
// systems, their read-back when "Compare Disk" is ticked, the boot-sector
// check, and the port's "Format" column.
#include <array>
#include <exception>

#include "controller/controller.h"
#include "controller/steps.h"
#include "media/format_internal.h"
#include "media/media.h"

namespace galmor {

namespace {

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

bool BootSectorReadsBack(SarnikApi& lib, int32_t h, int64_t lba) {
    std::array<uint8_t, kSector> local{};
    if (!lib.Read(h, 1, static_cast<int32_t>(lba), local.data())) return false;
    return local[0] == 0xEB && local[1] == 0x3C && local[2] == 0x90;
}

// Runs the checks, the format sequence and the layout. Returns false on an
// unexpected runtime error; every other outcome is the port's ErrorStatus.
bool FormatSteps(const PortJob& job) {
    PortRecord& port = job.port;
    const ProductSettings& s = job.recipe;
    SarnikApi& lib = job.lib;
    const int32_t h = port.Handle;

    if (!lib.VendorR(h, sub::kChipList, port.ReplyBuffer.data())) {
        port.ErrorStatus = Code(Status::ChipList);
        return true;
    }
    std::array<uint8_t, kSector> info{};
    if (!lib.VendorR(h, sub::kDeviceInfo, info.data())) {
        // Without the device information every test below would judge
        // an empty buffer (and an old revision would change the layout).
        port.ErrorStatus = Code(Status::DeviceInfoUnreadable);
        return true;
    }
    port.Revision = info[devinfo::kRevision];
    if (port.Revision < kRevisionFull) {
        if (job.values.LoaderImageSectors != kOldRevisionLoaderSectors) {
            port.ErrorStatus = Code(Status::LoaderMismatch);
            return true;
        }
        // This controller only takes the removable layout.
        job.values.bNoRomeableDisk = false;
    }
    if (info[devinfo::kPassword] != kNoPassword) {
        port.ErrorStatus = Code(Status::PasswordExists);
        return true;
    }
    const bool writeProtected = port.Revision >= kRevisionStatusFlags
                                    ? info[devinfo::kStatusFlags] != 0
                                    : info[devinfo::kWpSwitch] == 0;
    if (writeProtected) {
        port.ErrorStatus = Code(Status::WriteProtected);
        return true;
    }
    if (!ParseChipTable(port)) return false;
    if (port.NominalSectors == 0) {
        port.ErrorStatus = Code(Status::NoFlash);
        return true;
    }
    // With "Compare Disk" the loader disk is read back as well, one step per
    // chunk like its writing.
    const uint64_t loaderBytes = s.LoaderImage.size();
    job.view.SetProgressMaximum(ProgressMaximum(job.run.CompareDisk ? 2 * loaderBytes : loaderBytes,
                                                s.ReserveImage.size()));
    if (port.ErrorStatus != 0) return true;

    // The controller's low-level format sequence; its results are not judged.
    // Setup page 2 goes back only as it was read: after a failed read the
    // buffer holds an earlier block, which must never become a setup page.
    uint8_t* page = port.SectorBuffer.data();
    if (lib.VendorScan(h, sub::kSetupRead, kSetupPageSelector, 0, 0, kSetupPage2, 0, kSector,
                       page) == 1) {
        lib.VendorW(h, sub::kSetupWrite, kSector, page);
        lib.VendorR(h, sub::kPasswordApply, page);
    }
    lib.VendorScan(h, sub::kSetupRead, kSetupPageSelector, 0, 0, kSetupPage4, 0, kSector, page);

    PortLayout layout;
    Fdisk7301(job, &layout);
    if (job.run.CompareDisk) {
        // Read back what was written: the loader disk, then every sector of
        // each file system.
        ScanDisk7301(job);
        if (port.ErrorStatus == 0 && !layout.nonRemovable) {
            if (!PartitionReadsBack(job, layout.FirstPartitionStart(), layout.par0) ||
                (layout.twoPartitions &&
                 !PartitionReadsBack(job, layout.SecondPartitionStart(), layout.par1))) {
                port.ErrorStatus = Code(Status::FormatError);
            }
        }
    }

    // Each user partition's boot sector must read back. The layout this port
    // was given decides which sectors those are.
    if (port.ErrorStatus == 0 && !layout.nonRemovable) {
        if (!BootSectorReadsBack(lib, h, layout.FirstPartitionStart())) {
            port.ErrorStatus = Code(Status::FormatError);
        }
        if (layout.twoPartitions && !BootSectorReadsBack(lib, h, layout.SecondPartitionStart())) {
            port.ErrorStatus = Code(Status::FormatError);
        }
    }
    return true;
}

void ShowFormatResult(const PortJob& job) {
    PortRecord& port = job.port;
    PortView& v = job.view;
    v.ShowProgress(false);
    v.ShowColumn(Column::Format);
    const int code = port.ErrorStatus.load();
    if (code == 0) {
        v.SetMark(Column::Format, "V");
        v.SetText(Column::Format, FormatPassText(port.ChipCount, port.NominalSectors));
        return;
    }
    v.SetPicture(Picture::Failed);
    v.SetMark(Column::Format, "X");
    v.SetText(Column::Format, FormatErrorText(code));
    job.Fail();
}

}  // namespace

bool LayoutValues7301(const PortJob& job) {
    PortRecord& port = job.port;
    if (!job.values.bNoRomeableDisk || job.values.formatted) return true;
    try {
        SarnikApi& lib = job.lib;
        if (!lib.VendorR(port.Handle, sub::kChipList, port.ReplyBuffer.data())) {
            port.ErrorStatus = Code(Status::ChipList);
            return false;
        }
        std::array<uint8_t, kSector> info{};
        if (!lib.VendorR(port.Handle, sub::kDeviceInfo, info.data())) {
            port.ErrorStatus = Code(Status::DeviceInfoUnreadable);
            return false;
        }
        port.Revision = info[devinfo::kRevision];
        // An old controller was laid out removable, with the recipe's total.
        if (port.Revision < kRevisionFull) return true;
        if (!ParseChipTable(port)) {
            port.ErrorStatus = Code(Status::Runtime);
            return false;
        }
        if (port.NominalSectors == 0) {
            port.ErrorStatus = Code(Status::NoFlash);
            return false;
        }
        const PortLayout l = ComputeLayout(LayoutInputFor(job));
        if (l.status != 0) {
            port.ErrorStatus = l.status;
            return false;
        }
        job.values.TotalReservedSectors = static_cast<int32_t>(l.totalReservedSectors);
        job.values.layoutKnown = true;
        return true;
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::Runtime);
        return false;
    }
}

void Format7301(const PortJob& job) {
    PortRecord& port = job.port;
    // Every format of a port starts from the recipe's own values.
    job.values = PortRunValues::From(job.recipe);
    job.values.formatted = true;
    try {
        job.view.SetProgress(0);
        job.view.ShowProgress(true);
        if (port.ErrorStatus == 0 && !FormatSteps(job)) {
            port.ErrorStatus = Code(Status::Runtime);
            job.Fail();
            return;
        }
        ShowFormatResult(job);
    } catch (const std::exception&) {
        // The column is left as it is; the run still counts the disk as failed.
        port.ErrorStatus = Code(Status::Runtime);
        job.Fail();
    }
}

}  // namespace galmor
