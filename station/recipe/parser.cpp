// Reading the recipe's text: sections matched as whole lines, values taken
// by position. No files are touched here except through the folder check.
#include "recipe/parser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/text.h"

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

std::optional<double> StrictNumberImpl(std::string_view text);

// A value as a message shows it, in quotes, control characters as "?".
std::string Quoted(std::string_view v) {
    std::string q = "\"";
    for (char c : v) q += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return q + "\"";
}

// A value that must be a number as a whole (blanks around it allowed):
// [+-]digits[.digits][e[+-]digits]. Empty otherwise or out of range.
std::optional<double> StrictNumber(std::string_view text) {
    return StrictNumberImpl(Trim(text));
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

std::optional<double> StrictNumberImpl(std::string_view t) {
    size_t i = 0, digits = 0;
    auto isDigit = [&](size_t k) { return k < t.size() && t[k] >= '0' && t[k] <= '9'; };
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    while (isDigit(i)) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (isDigit(i)) ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!isDigit(i)) return std::nullopt;
        while (isDigit(i)) ++i;
    }
    if (i != t.size()) return std::nullopt;
    return RecipeNumber(t);
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

std::string RecipeTextAsUtf8(std::string_view bytes) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
    if (IsUtf8(bytes)) return std::string(bytes);
    return Latin1ToUtf8(bytes);
}

bool FatLabelCharacterOk(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u <= 0x7E && std::strchr("*?/\\:<>|\".=+,;", c) == nullptr;
}

RecipeText ParseRecipe(std::string_view bytes, ProductSettings& s, const std::string& homeDir,
                       const FolderCheck& folderOk) {
    RecipeText out;
    const std::string text = RecipeTextAsUtf8(bytes);
    out.empty = text.empty();
    Section section = Section::None;
    const char* sectionName = nullptr;
    size_t lineNo = 0;
    auto refuse = [&](std::string what) { out.refusals.push_back({lineNo, std::move(what)}); };
    auto note = [&](std::string what) { out.notes.push_back({lineNo, std::move(what)}); };
    const auto quoted = Quoted;
    auto unknownKey = [&](std::string_view line, const char* keys) {
        if (Trim(line).empty()) return;
        note(quoted(line) + " is not a key of " + sectionName + " (" + keys + "); ignored");
    };
    // A number the whole value must be; refused otherwise.
    auto number = [&](std::string_view value, const char* what) -> std::optional<double> {
        const auto v = StrictNumber(value);
        if (!v) refuse(std::string(what) + " must be a number, found " + quoted(Trim(value)));
        return v;
    };
    auto boolean = [&](std::string_view line) -> std::optional<bool> {
        const auto b = RecipeBool(line);
        if (!b && !Trim(line).empty()) {
            refuse(std::string(sectionName) + " must be True, False or a number, found " +
                   quoted(Trim(line)));
        }
        return b;
    };
    // A flag read as a number: checked only, the value is read as it always is.
    auto flagNumber = [&](std::string_view line) {
        if (Trim(line).empty()) {
            note(std::string("an empty line in ") + sectionName + " reads as 0");
        } else if (!StrictNumber(line)) {
            refuse(std::string(sectionName) + " must be a number, found " + quoted(Trim(line)));
        }
    };
    ForEachLine(text, [&](std::string_view line) {
        ++lineNo;
        if (StartsWith(line, ";")) return true;
        if (StartsWith(line, "[")) {
            bool known = false;
            for (const auto& h : kHeaders) {
                if (line == h.text) {
                    section = h.section;
                    sectionName = h.text;
                    known = true;
                    if (section == Section::SerialNumber) s.SerialSectionPresent = true;
                    if (section == Section::VidPid) out.lines.vidPid = lineNo;
                    break;
                }
            }
            if (!known) {
                out.lines.unknownHeaders.push_back({lineNo, std::string(line)});
                note(quoted(line) + " is not a section header; the lines after it stay in " +
                     (sectionName ? sectionName : "no section"));
            }
            return true;
        }
        switch (section) {
            case Section::None:
                if (!Trim(line).empty()) note("a line before any section; ignored");
                break;
            case Section::DiskType:
                break;
            case Section::VidPid: {
                const bool vid = StartsWith(line, "VID");
                const char* key = vid ? "VID=" : "PID=";
                if (vid) {
                    s.Vid = Mid(line, 5, 4);
                    out.lines.vid = lineNo;
                } else {
                    s.Pid = Mid(line, 5, 4);
                    out.lines.pid = lineNo;
                }
                // The id is taken by position: the key, "=", four digits.
                if (!StartsWith(line, key) ||
                    !Trim(line.substr(std::min<size_t>(line.size(), 8))).empty()) {
                    refuse(std::string("expected ") + key +
                           "hhhh (four hexadecimal digits) in [VID/PID], found " + quoted(line));
                }
                break;
            }
            case Section::UsbManufacturer:
                s.UsbManufacturer = std::string(line);
                out.lines.usbManufacturer = lineNo;
                break;
            case Section::UsbProduct:
                s.UsbProduct = std::string(line);
                out.lines.usbProduct = lineNo;
                break;
            case Section::ScsiVendor:
                s.ScsiVendor = std::string(line);
                out.lines.scsiVendor = lineNo;
                break;
            case Section::ScsiProduct:
                s.ScsiProduct = std::string(line);
                out.lines.scsiProduct = lineNo;
                break;
            case Section::PartitionStatus:
                if (StartsWith(line, "ParNum")) {
                    const double count = NumberOrZero(Mid(line, 8, 1));
                    if (count < 1 || count > 2) {
                        out.badPartitionCount = true;
                        out.messages.push_back({"Error Partition Number", Icon::Error});
                        return false;
                    }
                } else if (StartsWith(line, "1st") || StartsWith(line, "2nd")) {
                    const bool first = StartsWith(line, "1st");
                    double& share = first ? s.FirstPartitionShare : s.SecondPartitionShare;
                    if (auto v = RecipeNumber(AfterEquals(line))) share = *v;
                    out.lines.shares = lineNo;
                    if (line.find('=') == std::string_view::npos) {
                        refuse(std::string("expected ") + (first ? "1st" : "2nd") +
                               "=share (a number from 0 to 1), found " + quoted(line));
                    } else {
                        number(AfterEquals(line), first ? "1st" : "2nd");
                    }
                } else {
                    unknownKey(line, "ParNum, 1st, 2nd");
                }
                break;
            case Section::OneMegReserved:
                if (auto v = RecipeNumber(Trim(line))) s.OneMegReserved = *v != 0.0;
                flagNumber(line);
                break;
            case Section::ApplicationMode:
                if (StartsWith(line, "ApMode")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) {
                        if (auto m = RoundTo<int16_t>(*v)) s.ApplicationMode = *m;
                    }
                    if (auto v = number(AfterEquals(line), "ApMode"); v && !RoundTo<int16_t>(*v)) {
                        refuse("ApMode out of range, found " + quoted(Trim(AfterEquals(line))));
                    }
                } else {
                    unknownKey(line, "ApMode");
                }
                break;
            case Section::DiskLabel:
                if (line.empty() && !s.DiskLabel.empty()) {
                    note("an empty line in [DISK LABEL] replaces the label of line " +
                         std::to_string(out.lines.label) + ": the disks get no label");
                }
                s.DiskLabel = std::string(line);
                out.lines.label = lineNo;
                break;
            case Section::DiskCapacity:
                if (StartsWith(line, "Size=")) {
                    if (auto v = RecipeNumber(AfterEquals(line))) {
                        if (auto mb = RoundTo<int16_t>(*v)) {
                            s.DiskCapacityMb = *mb;
                            out.capacityGiven = true;
                        }
                    }
                    if (auto v = number(AfterEquals(line), "[DISK CAPACITY] Size")) {
                        const auto mb = RoundTo<int16_t>(*v);
                        if (!mb || *mb < 1) {
                            refuse("[DISK CAPACITY] Size must be from 1 to 32767 (MB), found " +
                                   quoted(Trim(AfterEquals(line))));
                        }
                    }
                } else {
                    unknownKey(line, "Size=");
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
                    const char* what = "[7301 2nd Reserved Section Size] Size";
                    if (auto v = number(AfterEquals(line), what)) {
                        const auto n = RoundTo<int32_t>(*v * 2048.0);
                        if (!n || *n < 0) {
                            refuse(std::string(what) + " must be from 0 to 1048575 (MB), found " +
                                   quoted(Trim(AfterEquals(line))));
                        }
                    }
                } else {
                    unknownKey(line, "Size=");
                }
                break;
            case Section::CompareDiskFlag:
                if (auto b = boolean(line)) {
                    s.CompareDisk = *b;
                    out.compareDisk = *b;
                }
                break;
            case Section::SerialNumberFlag:
                if (auto b = boolean(line)) s.SerialNumberFlag = *b;
                break;
            case Section::DisableRemovableDisk:
                if (auto b = boolean(line)) s.bNoRomeableDisk = *b;
                break;
            case Section::DisableLoaderDisk:
                if (auto v = RecipeNumber(Trim(line))) s.bNoLoaderDisk = *v != 0.0;
                flagNumber(line);
                break;
            case Section::SerialNumber: {
                if (line.empty() && s.SerialGiven) {
                    note("an empty line in [Serial Number] replaces the serial number of line " +
                         std::to_string(out.lines.serial) + ": the prefix is now blank");
                }
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
                out.lines.serial = lineNo;
                break;
            }
        }
        return true;
    });
    return out;
}

std::vector<RecipeIssue> RecipeWarnings(const ProductSettings& s, const RecipeText& parsed) {
    std::vector<RecipeIssue> warnings = parsed.notes;
    // Any line that is not a whole serial number is a prefix: a longer line
    // gives its first 3 characters, like a shorter one.
    if (s.SerialGiven && parsed.serialLineLength > kSerialChars) {
        warnings.push_back({parsed.lines.serial,
                            "Serial Number line has " + std::to_string(parsed.serialLineLength) +
                                " characters; its first 3 are used as the prefix"});
    }
    if (s.ScsiVendor.size() > 8) {
        warnings.push_back({parsed.lines.scsiVendor,
                            "only the first 8 characters of the SCSI "
                            "vendor string fit the inquiry data"});
    }
    if (s.ScsiProduct.size() > 16) {
        warnings.push_back({parsed.lines.scsiProduct,
                            "only the first 16 characters of the SCSI "
                            "product string fit the inquiry data"});
    }
    return warnings;
}

std::vector<RecipeIssue> RecipeLimitProblems(const ProductSettings& s, const RecipeText& parsed) {
    std::vector<RecipeIssue> problems = parsed.refusals;
    if (parsed.empty) return problems;
    const RecipeLines& at = parsed.lines;
    auto problem = [&](size_t line, std::string text) {
        problems.push_back({line, std::move(text)});
    };
    // A section the station needs, or the unknown header that may have been
    // meant for it.
    auto missing = [&](const char* header, const std::string& expected) {
        const RecipeIssue* near = nullptr;
        auto squeeze = [](std::string_view t) {
            std::string k;
            for (char c : t) {
                if (std::isalnum(static_cast<unsigned char>(c))) {
                    k += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
            }
            return k;
        };
        for (const auto& u : at.unknownHeaders) {
            if (squeeze(u.text) == squeeze(header)) near = &u;
        }
        if (near) {
            problem(near->line, Quoted(near->text) + " is not a section header; expected " +
                                    header + " (" + expected + ")");
        } else {
            problem(0, std::string("no ") + header + " section (" + expected + ")");
        }
    };
    auto isHex4 = [](const std::string& id) {
        return id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
                   return std::isxdigit(static_cast<unsigned char>(c));
               });
    };
    if (at.vidPid == 0) {
        missing("[VID/PID]", "VID=hhhh and PID=hhhh lines");
    } else {
        if (at.vid == 0) problem(at.vidPid, "[VID/PID] has no VID=hhhh line");
        if (at.pid == 0) problem(at.vidPid, "[VID/PID] has no PID=hhhh line");
        if (at.vid != 0 && !isHex4(s.Vid)) {
            problem(at.vid,
                    "VID " + Quoted(s.Vid) + " is not hexadecimal: expected four digits 0-9, A-F");
        }
        if (at.pid != 0 && !isHex4(s.Pid)) {
            problem(at.pid,
                    "PID " + Quoted(s.Pid) + " is not hexadecimal: expected four digits 0-9, A-F");
        }
    }
    struct Text {
        const char* header;
        const std::string& value;
        size_t line;
        bool ascii;  // SCSI inquiry strings are ASCII by definition
    };
    const Text texts[] = {
        {"[USB MANUFACTURE STRING]", s.UsbManufacturer, at.usbManufacturer, false},
        {"[USB PRODUCT STRING]", s.UsbProduct, at.usbProduct, false},
        {"[SCSI MANUFACTURE STRING]", s.ScsiVendor, at.scsiVendor, true},
        {"[SCSI PRODUCT STRING]", s.ScsiProduct, at.scsiProduct, true}};
    for (const auto& t : texts) {
        if (t.line == 0) {
            missing(t.header, "one line of text");
        } else if (t.value.empty()) {
            problem(t.line, std::string(t.header) + " is empty");
        } else if (t.ascii && !IsPrintableAscii(t.value)) {
            problem(t.line, std::string(t.header) +
                                " must be printable ASCII (the SCSI inquiry data is ASCII)");
        } else if (std::any_of(t.value.begin(), t.value.end(), [](char c) {
                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                   })) {
            problem(t.line, std::string(t.header) + " holds a control character");
        }
    }
    const size_t usbChars = Utf8ToUtf16(s.UsbManufacturer).value_or(u"").size() +
                            Utf8ToUtf16(s.UsbProduct).value_or(u"").size();
    if (usbChars > kMaxUsbStringChars) {
        problem(at.usbProduct, "USB String too long: manufacturer and product strings have " +
                                   std::to_string(usbChars) + " characters together, at most " +
                                   std::to_string(kMaxUsbStringChars) + " fit");
    }
    // Shares that add up to 1 but cannot be laid out. Shares that do not add
    // up to 1 are rejected anyway.
    const double first = s.FirstPartitionShare, second = s.SecondPartitionShare;
    if (first + second == 1.0 && !(first > 0.0 && first <= 1.0 && second >= 0.0 && second <= 1.0)) {
        problem(at.shares,
                "Partition share out of range: 1st must be above 0 and at most 1, 2nd at least 0 "
                "and at most 1");
    }
    // Characters a FAT volume label cannot hold: the checkers refuse the volume.
    if (!std::all_of(s.DiskLabel.begin(), s.DiskLabel.end(), FatLabelCharacterOk)) {
        problem(at.label,
                "Disk label has a character a FAT volume label cannot hold (only printable ASCII, "
                "and none of * ? / \\ : < > | \" . = + , ;)");
    }
    // The serial goes into every disk's USB serial descriptor.
    if (s.SerialGiven && !IsPrintableAscii(s.SerialNumber)) {
        problem(at.serial, "Serial Number must be printable ASCII");
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const RecipeIssue& a, const RecipeIssue& b) {
                         return (a.line ? a.line : SIZE_MAX) < (b.line ? b.line : SIZE_MAX);
                     });
    return problems;
}

}  // namespace galmor
