// The recipe "Product.ini" and the two image files of its files folder.
#include "recipe/loader.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/port.h"
#include "recipe/parser.h"

namespace galmor {

namespace fs = std::filesystem;

namespace {

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

RecipeLoad LoadRecipe(const std::string& homeDir, ProductSettings& s) {
    RecipeLoad out;
    auto show = [&out](std::string text, Icon icon) {
        out.messages.push_back({std::move(text), icon});
    };

    s.SecondReservedSectors = 0;
    s.SerialSectionPresent = false;
    s.SerialGiven = false;
    s.bNoRomeableDisk = false;
    s.SerialNumberFlag = false;
    s.FilesFolder.clear();

    std::string home = homeDir.empty() ? std::string("./") : homeDir;
    if (home.back() != '/') home += '/';
    std::string text;
    if (!ReadWholeFile(home + "Product.ini", text)) text.clear();

    RecipeText parsed = ParseRecipe(text, s, homeDir, FolderHasFiles);
    out.messages = parsed.messages;
    out.compareDisk = parsed.compareDisk;
    out.capacityGiven = parsed.capacityGiven;

    if (parsed.badPartitionCount) {
        show("Open product.ini failed", Icon::Error);
        out.result = LoadResult::BadPartitionCount;
        return out;
    }

    if (!s.FilesFolder.empty()) {
        s.LoaderImagePath = s.FilesFolder + "7301.img";
        switch (ReadImage(s.LoaderImagePath, s.LoaderImage)) {
            case ReadResult::Missing:
                show("Missing Autorun File : " + s.FilesFolder + "7301.img !!!", Icon::None);
                return out;
            case ReadResult::Unreadable:
                show("Cannot read file : " + s.LoaderImagePath, Icon::Error);
                return out;
            case ReadResult::Ok:
                break;
        }
        // Sectors rounded to nearest, ties to even. When that reaches past the
        // file, the last sector is completed with zeros.
        const size_t len = s.LoaderImage.size();
        size_t sectors = len / kSector;
        const size_t rest = len % kSector;
        if (rest > kSector / 2 || (rest == kSector / 2 && sectors % 2 == 1)) ++sectors;
        // The controller takes the loader disk's size in kilobytes, while the
        // partitions start right behind the image: an odd count would put the
        // user unit one sector away from its boot sector. A zero sector after
        // the image makes the count even.
        if (sectors % 2 == 1) ++sectors;
        s.LoaderImageSectors = static_cast<int32_t>(sectors);
        if (s.LoaderImage.size() < sectors * kSector) s.LoaderImage.resize(sectors * kSector, 0);

        const bool dump = s.bNoLoaderDisk;
        const std::string reserveName = dump ? "Dump7306.img" : "Reserve.img";
        s.ReserveImagePath = s.FilesFolder + reserveName;
        switch (ReadImage(s.ReserveImagePath, s.ReserveImage)) {
            case ReadResult::Missing:
                show(std::string(dump ? "Missing Dump File : " : "Missing Reserved File : ") +
                         s.FilesFolder + reserveName + " !!!",
                     Icon::None);
                return out;
            case ReadResult::Unreadable:
                show("Cannot read file : " + s.ReserveImagePath, Icon::Error);
                return out;
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

    out.warnings = RecipeWarnings(s, parsed);
    const auto problems = RecipeLimitProblems(s, parsed);
    for (const auto& p : problems) show(p, Icon::Error);
    if (!problems.empty()) return out;

    const bool sharesWhole = s.FirstPartitionShare + s.SecondPartitionShare == 1.0;
    out.result =
        sharesWhole && !s.FilesFolder.empty() ? LoadResult::Accepted : LoadResult::Rejected;
    return out;
}

}  // namespace galmor
