// The recipe "Product.ini" and the two image files of its files folder.
#include "recipe/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <utility>

#include "core/port.h"
#include "recipe/image.h"
#include "recipe/parser.h"

namespace galmor {

namespace fs = std::filesystem;

namespace {

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

// Why the images cannot fit the smallest layout of a disk of this recipe
// (empty when they fit). The disk is the recipe's capacity when it gives one,
// else the largest flash of the controller family.
std::string ImagesFitProblem(const ProductSettings& s, bool capacityGiven) {
    const bool nonRemovable = s.bNoRomeableDisk;
    // A non-removable disk always keeps its loader disk.
    const bool loader = !s.bNoLoaderDisk || nonRemovable;
    const int64_t loaderSectors = loader ? LoaderSectorsFor(s.LoaderImage.size()) : 0;
    const int64_t reserveSectors = ReserveSectorsFor(s.ReserveImage.size());
    // A non-removable disk reserves whatever the loader leaves; it needs room
    // for the reserve image only.
    const int64_t reserved =
        reserveSectors + (nonRemovable ? 0 : std::max<int64_t>(s.SecondReservedSectors, 0));
    const int64_t oneMeg = s.OneMegReserved ? kOneMegSectors : 0;
    const int64_t user = nonRemovable ? 0 : kMinUserArea;
    const int64_t need = loaderSectors + reserved + oneMeg + user;

    const bool byRecipe = capacityGiven && s.DiskCapacityMb > 0;
    const int64_t disk =
        byRecipe ? int64_t{s.DiskCapacityMb} * kSectorsPerMb : kLargestFlashSectors;
    if (need <= disk) return {};
    std::ostringstream text;
    text << "The images do not fit " << (byRecipe ? "a disk of " : "the largest disk, ")
         << disk / kSectorsPerMb << " MB (" << disk << " sectors): loader disk " << loaderSectors
         << " sectors (" << s.LoaderImage.size() << " bytes) + reserved area " << reserved
         << " sectors (reserve image " << s.ReserveImage.size() << " bytes)";
    if (oneMeg) text << " + 1M Reserved " << oneMeg << " sectors";
    if (user) text << " + the smallest user area " << user << " sectors";
    text << " = " << need << " sectors";
    return text.str();
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
        switch (ImageFile::Open(s.LoaderImagePath, s.LoaderImage)) {
            case ImageFile::OpenResult::Missing:
                show("Missing Autorun File : " + s.FilesFolder + "7301.img !!!", Icon::None);
                return out;
            case ImageFile::OpenResult::Unreadable:
                show("Cannot read file : " + s.LoaderImagePath, Icon::Error);
                return out;
            case ImageFile::OpenResult::Ok:
                break;
        }
        const bool dump = s.bNoLoaderDisk;
        const std::string reserveName = dump ? "Dump7306.img" : "Reserve.img";
        s.ReserveImagePath = s.FilesFolder + reserveName;
        switch (ImageFile::Open(s.ReserveImagePath, s.ReserveImage)) {
            case ImageFile::OpenResult::Missing:
                show(std::string(dump ? "Missing Dump File : " : "Missing Reserved File : ") +
                         s.FilesFolder + reserveName + " !!!",
                     Icon::None);
                return out;
            case ImageFile::OpenResult::Unreadable:
                show("Cannot read file : " + s.ReserveImagePath, Icon::Error);
                return out;
            case ImageFile::OpenResult::Ok:
                break;
        }
        // The images must fit the smallest layout of a disk this recipe makes:
        // one that does not would fail every disk, after its format sequence.
        const std::string fit = ImagesFitProblem(s, parsed.capacityGiven);
        if (!fit.empty()) {
            show(fit, Icon::Error);
            return out;
        }
        s.LoaderImageSectors = static_cast<int32_t>(LoaderSectorsFor(s.LoaderImage.size()));
        s.ReserveImageSectors = static_cast<int32_t>(ReserveSectorsFor(s.ReserveImage.size()));
        s.TotalReservedSectors = s.ReserveImageSectors + s.SecondReservedSectors;
    }

    s.ApplicationMode = 1;

    const bool sharesWhole = s.FirstPartitionShare + s.SecondPartitionShare == 1.0;
    out.result =
        sharesWhole && !s.FilesFolder.empty() ? LoadResult::Accepted : LoadResult::Rejected;
    return out;
}

}  // namespace galmor
