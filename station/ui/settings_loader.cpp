// The recipe "Product.ini" and the two image files of its files folder, read
// at start-up, and the summary the window shows.
#include "ui/settings_loader.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/station.h"
#include "media/media.h"
#include "ui/grid.h"
#include "ui/settings.h"

namespace galmor {

namespace fs = std::filesystem;

namespace {

bool FolderHasFiles(const std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return false;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (it->is_regular_file(ec2)) return true;
    }
    return false;
}

enum class ReadResult { Ok, Missing, Unreadable };

// Reads a whole image file. A path that is not a regular file is missing.
ReadResult ReadImage(const std::string& path, std::vector<uint8_t>& out) {
    out.clear();
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return ReadResult::Missing;
    try {
        const auto size = fs::file_size(path, ec);
        if (ec) return ReadResult::Unreadable;
        // The sector count is kept in 32 bits.
        if (size / kSector >= static_cast<uintmax_t>(std::numeric_limits<int32_t>::max())) {
            return ReadResult::Unreadable;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) return ReadResult::Unreadable;
        out.resize(static_cast<size_t>(size));
        if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), out.size())) {
            out.clear();
            return ReadResult::Unreadable;
        }
        return ReadResult::Ok;
    } catch (const std::exception&) {
        out.clear();
        return ReadResult::Unreadable;
    }
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return false;
    out = ss.str();
    return true;
}

}  // namespace

int LoadProductSettings(Station& st) {
    ProductSettings& s = st.settings;
    WindowModel& m = st.model;

    s.SecondReservedSectors = 0;
    s.SerialSectionPresent = false;
    s.SerialGiven = false;
    s.bNoRomeableDisk = false;
    s.SerialNumberFlag = false;
    s.FilesFolder.clear();

    std::string home = st.HomeDir.empty() ? std::string("./") : st.HomeDir;
    if (home.back() != '/') home += '/';
    std::string text;
    if (!ReadWholeFile(home + "Product.ini", text)) text.clear();

    RecipeText parsed = ParseRecipe(text, s, st.HomeDir, FolderHasFiles);
    for (const auto& msg : parsed.messages) m.ShowMessage(msg.text, msg.icon);
    if (parsed.compareDisk) m.SetChecked("CheckCompare", -1, *parsed.compareDisk);
    s.CompareDisk = m.Get1("CheckCompare").checked;
    if (parsed.capacityGiven) m.SetCaption("Combo1", -1, std::to_string(s.DiskCapacityMb.load()));

    if (parsed.badPartitionCount) {
        m.ShowMessage("Open product.ini failed", Icon::Error);
        return kLoadBadPartitionCount;
    }

    if (!s.FilesFolder.empty()) {
        s.LoaderImagePath = s.FilesFolder + "7301.img";
        switch (ReadImage(s.LoaderImagePath, s.LoaderImage)) {
            case ReadResult::Missing:
                m.ShowMessage("Missing Autorun File : " + s.FilesFolder + "7301.img !!!",
                              Icon::None);
                return kLoadRejected;
            case ReadResult::Unreadable:
                m.ShowMessage("Cannot read file : " + s.LoaderImagePath, Icon::Error);
                return kLoadRejected;
            case ReadResult::Ok:
                break;
        }
        // Sectors rounded to nearest, ties to even. When that reaches past the
        // file, the last sector is completed with zeros.
        const size_t len = s.LoaderImage.size();
        size_t sectors = len / kSector;
        const size_t rest = len % kSector;
        if (rest > kSector / 2 || (rest == kSector / 2 && sectors % 2 == 1)) ++sectors;
        s.LoaderImageSectors = static_cast<int32_t>(sectors);
        if (s.LoaderImage.size() < sectors * kSector) s.LoaderImage.resize(sectors * kSector, 0);

        const bool dump = s.bNoLoaderDisk.load();
        const std::string reserveName = dump ? "Dump7306.img" : "Reserve.img";
        s.ReserveImagePath = s.FilesFolder + reserveName;
        switch (ReadImage(s.ReserveImagePath, s.ReserveImage)) {
            case ReadResult::Missing:
                m.ShowMessage(
                    std::string(dump ? "Missing Dump File : " : "Missing Reserved File : ") +
                        s.FilesFolder + reserveName + " !!!",
                    Icon::None);
                return kLoadRejected;
            case ReadResult::Unreadable:
                m.ShowMessage("Cannot read file : " + s.ReserveImagePath, Icon::Error);
                return kLoadRejected;
            case ReadResult::Ok:
                break;
        }
        // The smallest number of sectors that holds the file, zero-padded.
        const size_t reserveSectors = (s.ReserveImage.size() + kSector - 1) / kSector;
        s.ReserveImageSectors = static_cast<int32_t>(reserveSectors);
        s.TotalReservedSectors = s.ReserveImageSectors + s.SecondReservedSectors;
        s.ReserveImage.resize(reserveSectors * kSector, 0);
    }

    s.ApplicationMode = 1;

    const auto problems = RecipeLimitProblems(s, parsed);
    for (const auto& p : problems) m.ShowMessage(p, Icon::Error);
    if (!problems.empty()) return kLoadRejected;

    const bool sharesWhole = s.FirstPartitionShare + s.SecondPartitionShare == 1.0;
    return sharesWhole && !s.FilesFolder.empty() ? kLoadAccepted : kLoadRejected;
}

bool ShowProductSettings(Station& st) {
    WindowModel& m = st.model;
    const int result = LoadProductSettings(st);
    if (result == kLoadRejected) {
        m.ShowMessage("Partition Information error", Icon::Error);
        return false;
    }
    if (result == kLoadBadPartitionCount) {
        m.ShowMessage("Open Product.ini failed", Icon::Error);
        return false;
    }
    const ProductSettings& s = st.settings;
    m.SetCaption("VidPidLab", -1, "VID = " + s.Vid + "  PID = " + s.Pid);
    m.SetCaption("UsbStrLab", -1, "USB String = " + s.UsbManufacturer + "  " + s.UsbProduct);
    m.SetCaption("ScsiStrLab", -1, "SCSI String = " + s.ScsiVendor + "  " + s.ScsiProduct);
    m.SetCaption("DiskLabContent", -1, "7306");
    // The "DISK TYPE" frame only displays: it shows how the recipe makes the
    // disks report themselves.
    const bool fixed = s.bNoRomeableDisk;
    m.SetChecked("Option1", -1, fixed);
    m.SetChecked("Option2", -1, !fixed);
    BuildBootSectorTemplate(st.BootSectorTemplate);
    BuildPortIndicators(st, 7);
    for (int port = 0; port <= 6; ++port) ResetPortIndicators(st, true, port);
    return true;
}

}  // namespace galmor
