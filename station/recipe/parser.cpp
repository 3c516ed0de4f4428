// Reading the recipe's text: sections matched as whole lines, values taken
// by position. No files are touched here except through the folder check.
#include "recipe/parser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace galmor {

namespace {

enum class Section {
    None,
    VidPid,
    UsbManufacturer,
    UsbProduct,
    ScsiVendor,
    ScsiProduct,
    PartitionStatus,
    OneMegReserved,
    ApplicationMode,
    DiskLabel,
    DiskCapacity,
    DiskType,
    FilesDirectory,
    SecondReservedSize,
    CompareDiskFlag,
    SerialNumberFlag,
    DisableRemovableDisk,
    DisableLoaderDisk,
    SerialNumber,
};

struct Header {
    const char* text;
    Section section;
};

// Section headers, matched exactly and with case against the whole line.
constexpr Header kHeaders[] = {
    {"[VID/PID]", Section::VidPid},
    {"[USB MANUFACTURE STRING]", Section::UsbManufacturer},
    {"[USB PRODUCT STRING]", Section::UsbProduct},
    {"[SCSI MANUFACTURE STRING]", Section::ScsiVendor},
    {"[SCSI PRODUCT STRING]", Section::ScsiProduct},
    {"[PARTITION STATUS]", Section::PartitionStatus},
    {"[1M Reserved]", Section::OneMegReserved},
    {"[APPLICATION MODE]", Section::ApplicationMode},
    {"[DISK LABEL]", Section::DiskLabel},
    {"[DISK CAPACITY]", Section::DiskCapacity},
    {"[DISK TYPE]", Section::DiskType},
    {"[7301 Files Directory]", Section::FilesDirectory},
    {"[7301 2nd Reserved Section Size]", Section::SecondReservedSize},
    {"[7301 Compare Disk Flag]", Section::CompareDiskFlag},
    {"[7301 Serial Number Flag]", Section::SerialNumberFlag},
    {"[7301 Disable Removable Disk]", Section::DisableRemovableDisk},
    {"[5207 Disable Loader Disk]", Section::DisableLoaderDisk},
    {"[Serial Number]", Section::SerialNumber},
};

const char kFolderWrong[] = "7301 Files Folder set wrong, Check the Product.ini";

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::string_view Trim(std::string_view s) {
    const char* blanks = " \t";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

// Characters `from` (1-based) to from+count-1 of a line, as far as it goes.
std::string Mid(std::string_view s, size_t from, size_t count) {
    if (s.size() < from) return {};
    return std::string(s.substr(from - 1, count));
}

// The text to the right of the first "=" of the line (empty without one).
std::string_view AfterEquals(std::string_view line) {
    size_t p = line.find('=');
    return p == std::string_view::npos ? std::string_view{} : line.substr(p + 1);
}

double NumberOrZero(std::string_view text) {
    return RecipeNumber(text).value_or(0.0);
}

// Rounds to nearest, ties to even; empty when the result leaves T's range.
template <typename T>
std::optional<T> RoundTo(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    const double r = std::nearbyint(v);
    if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
        r > static_cast<double>(std::numeric_limits<T>::max())) {
        return std::nullopt;
    }
    return static_cast<T>(r);
}

// Splits text into lines ending in CR LF or LF; a final line without an end
// counts, an end at the very end of the text adds no empty line.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!fn(line)) return;
        if (nl == std::string_view::npos) return;
        pos = nl + 1;
    }
}

// The files folder as the station uses it: trimmed, "\" written as "/", a
// relative folder taken from the home folder, always ending in "/". Empty
// when the line names no folder.
std::string FilesFolderFromLine(std::string_view line, const std::string& homeDir) {
    std::string folder(Trim(line));
    if (folder.empty()) return {};
    for (char& c : folder) {
        if (c == '\\') c = '/';
    }
    if (folder.back() != '/') folder += '/';
    if (folder.front() != '/' && !homeDir.empty()) {
        std::string home = homeDir;
        if (home.back() != '/') home += '/';
        folder = home + folder;
    }
    return folder;
}

}  // namespace

std::optional<double> RecipeNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t start = i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    size_t end = i;
    // An exponent counts only when digits follow it.
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        size_t k = j;
        while (k < text.size() && text[k] >= '0' && text[k] <= '9') ++k;
        if (k > j) end = k;
    }
    double v = 0.0;
    const char* first = text.data() + start;
    const char* last = text.data() + end;
    auto res = std::from_chars(first, last, v);
    if (res.ec == std::errc::result_out_of_range) {
        // Too small reads as 0; too large is out of range. The decimal
        // magnitude is the position of the first significant digit plus the
        // exponent.
        long magnitude = 0;
        bool seenPoint = false, significant = false;
        long exponent = 0;
        for (const char* p = first; p < last; ++p) {
            if (*p == '.') {
                seenPoint = true;
            } else if (*p == 'e' || *p == 'E') {
                const char* q = p + 1 + (p[1] == '+');
                long e = 0;
                if (std::from_chars(q, last, e).ec != std::errc()) {
                    e = *q == '-' ? -1000000 : 1000000;  // beyond any double
                }
                exponent = e;
                break;
            } else if (!significant && *p == '0') {
                if (seenPoint) --magnitude;
            } else if (!seenPoint) {
                significant = true;
                ++magnitude;
            } else {
                significant = true;
            }
        }
        if (magnitude + exponent > 0) return std::nullopt;
        return 0.0;
    }
    if (res.ec != std::errc() || !std::isfinite(v)) return std::nullopt;
    return negative ? -v : v;
}

std::optional<bool> RecipeBool(std::string_view text) {
    std::string_view t = Trim(text);
    auto equalsNoCase = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
            if (x != b[i]) return false;
        }
        return true;
    };
    if (equalsNoCase(t, "true")) return true;
    if (equalsNoCase(t, "false")) return false;
    // A number: at least one digit at the start (after an optional sign).
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (i < t.size() && t[i] == '.') ++i;
    if (i >= t.size() || t[i] < '0' || t[i] > '9') return std::nullopt;
    auto v = RecipeNumber(t);
    if (!v) return std::nullopt;
    return *v != 0.0;
}

RecipeText ParseRecipe(std::string_view text, ProductSettings& s, const std::string& homeDir,
                       const FolderCheck& folderOk) {
    RecipeText out;
    Section section = Section::None;
    ForEachLine(text, [&](std::string_view line) {
        if (StartsWith(line, ";")) return true;
        if (StartsWith(line, "[")) {
            for (const auto& h : kHeaders) {
                if (line == h.text) {
                    section = h.section;
                    if (section == Section::SerialNumber) s.SerialSectionPresent = true;
                    break;
                }
            }
            return true;
        }
        switch (section) {
            case Section::None:
            case Section::DiskType:
                break;
            case Section::VidPid:
                if (StartsWith(line, "VID")) {
                    s.Vid = Mid(line, 5, 4);
                } else {
                    s.Pid = Mid(line, 5, 4);
                }
                break;
            case Section::UsbManufacturer:
                s.UsbManufacturer = std::string(line);
                break;
            case Section::UsbProduct:
                s.UsbProduct = std::string(line);
                break;
            case Section::ScsiVendor:
                s.ScsiVendor = std::string(line);
                break;
            case Section::ScsiProduct:
                s.ScsiProduct = std::string(line);
                break;
            case Section::PartitionStatus:
                if (StartsWith(line, "ParNum")) {
                    const double count = NumberOrZero(Mid(line, 8, 1));
                    if (count < 1 || count > 2) {
                        out.badPartitionCount = true;
                        out.messages.push_back({"Error Partition Number", Icon::Error});
                        return false;
                    }
                } else if (StartsWith(line, "1st")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) s.FirstPartitionShare = *v;
                } else if (StartsWith(line, "2nd")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) s.SecondPartitionShare = *v;
                }
                break;
            case Section::OneMegReserved:
                if (auto v = RecipeNumber(Trim(line))) s.OneMegReserved = *v != 0.0;
                break;
            case Section::ApplicationMode:
                if (StartsWith(line, "ApMode")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) {
                        if (auto m = RoundTo<int16_t>(*v)) s.ApplicationMode = *m;
                    }
                }
                break;
            case Section::DiskLabel:
                s.DiskLabel = std::string(line);
                break;
            case Section::DiskCapacity:
                if (StartsWith(line, "Size=")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) {
                        if (auto mb = RoundTo<int16_t>(*v)) {
                            s.DiskCapacityMb = *mb;
                            out.capacityGiven = true;
                        }
                    }
                }
                break;
            case Section::FilesDirectory: {
                std::string folder = FilesFolderFromLine(line, homeDir);
                if (folder.empty() || !folderOk(folder)) {
                    out.messages.push_back({kFolderWrong, Icon::None});
                    folder.clear();
                }
                s.FilesFolder = folder;
                break;
            }
            case Section::SecondReservedSize:
                if (StartsWith(line, "Size=")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) {
                        if (auto n = RoundTo<int32_t>(*v * 2048.0)) s.SecondReservedSectors = *n;
                    }
                }
                break;
            case Section::CompareDiskFlag:
                if (auto b = RecipeBool(line)) {
                    s.CompareDisk = *b;
                    out.compareDisk = *b;
                }
                break;
            case Section::SerialNumberFlag:
                if (auto b = RecipeBool(line)) s.SerialNumberFlag = *b;
                break;
            case Section::DisableRemovableDisk:
                if (auto b = RecipeBool(line)) s.bNoRomeableDisk = *b;
                break;
            case Section::DisableLoaderDisk:
                if (auto v = RecipeNumber(Trim(line))) s.bNoLoaderDisk = *v != 0.0;
                break;
            case Section::SerialNumber: {
                if (line.size() == kSerialChars) {
                    s.SerialNumber = std::string(line);
                    s.SerialComplete = true;
                } else {
                    std::string prefix(line.substr(0, 3));
                    prefix.resize(kSerialChars, ' ');
                    s.SerialNumber = prefix;
                    s.SerialComplete = false;
                }
                s.SerialGiven = true;
                out.serialLineLength = line.size();
                break;
            }
        }
        return true;
    });
    return out;
}

std::vector<std::string> RecipeWarnings(const ProductSettings& s, const RecipeText& parsed) {
    std::vector<std::string> warnings;
    // Any line that is not a whole serial number is a prefix: a longer line
    // gives its first 3 characters, like a shorter one.
    if (s.SerialGiven && parsed.serialLineLength > kSerialChars) {
        warnings.push_back("Serial Number line has " + std::to_string(parsed.serialLineLength) +
                           " characters; its first 3 are used as the prefix");
    }
    return warnings;
}

std::vector<std::string> RecipeLimitProblems(const ProductSettings& s,
                                             const RecipeText& /*parsed*/) {
    std::vector<std::string> problems;
    const size_t usbChars = s.UsbManufacturer.size() + s.UsbProduct.size();
    if (usbChars > kMaxUsbStringChars) {
        problems.push_back("USB String too long: manufacturer and product strings have " +
                           std::to_string(usbChars) + " characters together, at most " +
                           std::to_string(kMaxUsbStringChars) + " fit");
    }
    // Shares that add up to 1 but cannot be laid out. Shares that do not add
    // up to 1 are rejected anyway.
    const double first = s.FirstPartitionShare, second = s.SecondPartitionShare;
    if (first + second == 1.0 && !(first > 0.0 && first <= 1.0 && second >= 0.0 && second <= 1.0)) {
        problems.push_back(
            "Partition share out of range: 1st must be above 0 and at most 1, 2nd at least 0 "
            "and at most 1");
    }
    if (s.SecondReservedSectors < 0) {
        problems.push_back("2nd Reserved Section Size must not be negative");
    }
    // A vendor or product id is programmed as hexadecimal digits; any other
    // character would silently become 0.
    auto notHex = [](const std::string& id) {
        return std::any_of(id.begin(), id.end(),
                           [](char c) { return !std::isxdigit(static_cast<unsigned char>(c)); });
    };
    if (notHex(s.Vid)) {
        problems.push_back("VID \"" + s.Vid + "\" is not hexadecimal (digits 0-9 and A-F only)");
    }
    if (notHex(s.Pid)) {
        problems.push_back("PID \"" + s.Pid + "\" is not hexadecimal (digits 0-9 and A-F only)");
    }
    // Characters a FAT volume label cannot hold: the checkers refuse the volume.
    const bool badLabel = std::any_of(s.DiskLabel.begin(), s.DiskLabel.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || std::strchr("*?/\\:<>|\"", c) != nullptr;
    });
    if (badLabel) {
        problems.push_back(
            "Disk label has a character a FAT volume label cannot hold (* ? / \\ : < > | \" or a "
            "control character)");
    }
    return problems;
}

}  // namespace galmor
