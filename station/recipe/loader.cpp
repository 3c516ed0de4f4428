// The recipe "Product.ini" and the two image files of its files folder.
#include "recipe/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

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

enum class RecipeFile { Ok, Missing, NotRegular, TooLarge, Unreadable };

// Reads the recipe. Only a regular file of at most kMaxRecipeBytes is read:
// a FIFO would block the station forever and a link to a device could feed it
// without end. The file is opened without blocking and checked on the open
// descriptor, so it cannot be swapped between the check and the read.
RecipeFile ReadRecipeFile(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? RecipeFile::Missing : RecipeFile::Unreadable;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return RecipeFile::Unreadable;
    if (!S_ISREG(st.st_mode)) return RecipeFile::NotRegular;
    if (st.st_size > static_cast<off_t>(kMaxRecipeBytes)) return RecipeFile::TooLarge;
    // Read one byte past the cap so that a file growing meanwhile is caught.
    std::string text(kMaxRecipeBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return RecipeFile::Unreadable;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > kMaxRecipeBytes) return RecipeFile::TooLarge;
    text.resize(got);
    out = std::move(text);
    return RecipeFile::Ok;
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
    const std::string recipePath = home + "Product.ini";
    switch (ReadRecipeFile(recipePath, text)) {
        case RecipeFile::NotRegular:
            show(recipePath + " is not a regular file", Icon::Error);
            return out;
        case RecipeFile::TooLarge:
            show(recipePath + " is larger than " + std::to_string(kMaxRecipeBytes) + " bytes",
                 Icon::Error);
            return out;
        case RecipeFile::Missing:
        case RecipeFile::Unreadable:
            text.clear();
            break;
        case RecipeFile::Ok:
            break;
    }

    RecipeText parsed = ParseRecipe(text, s, homeDir, FolderHasFiles);
    out.messages = parsed.messages;
    out.compareDisk = parsed.compareDisk;
    out.capacityGiven = parsed.capacityGiven;

    if (parsed.badPartitionCount) {
        show("Open product.ini failed", Icon::Error);
        out.result = LoadResult::BadPartitionCount;
        return out;
    }
    // A recipe the station cannot take as written is refused before any image
    // is read, with one message naming the file, the lines and what was
    // expected.
    auto located = [&recipePath](const RecipeIssue& issue) {
        std::string text = recipePath;
        if (issue.line) text.append(":").append(std::to_string(issue.line));
        return text.append(": ").append(issue.text);
    };
    const auto problems = RecipeLimitProblems(s, parsed);
    if (!problems.empty()) {
        std::string text;
        for (const auto& p : problems) {
            if (!text.empty()) text += '\n';
            text += located(p);
        }
        out.messages = {{text, Icon::Error}};
        out.result = LoadResult::Invalid;
        return out;
    }
    for (const auto& w : RecipeWarnings(s, parsed)) out.warnings.push_back(located(w));

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

    const bool sharesWhole = s.FirstPartitionShare + s.SecondPartitionShare == 1.0;
    out.result =
        sharesWhole && !s.FilesFolder.empty() ? LoadResult::Accepted : LoadResult::Rejected;
    return out;
}

}  // namespace galmor
