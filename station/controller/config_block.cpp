// The configuration block: composing it from the recipe, writing it, reading
// it back, and the "Config String" column.
#include "controller/config_block.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

#include "controller/controller.h"
#include "controller/step_guard.h"
#include "controller/steps.h"
#include "core/status.h"
#include "core/text.h"
#include "recipe/settings.h"

namespace galmor {

namespace {

// The fixed bytes of the USB device descriptor; ids and revision are filled in.
constexpr uint8_t kDeviceDescriptorTemplate[cfg::kDeviceDescriptorLength] = {
    0x12, 0x01,        // bLength, bDescriptorType
    0x10, 0x01,        // bcdUSB 1.10
    0x00, 0x00, 0x00,  // class, subclass, protocol
    0x08,              // bMaxPacketSize0
    0x00, 0x00,        // idVendor
    0x00, 0x00,        // idProduct
    0x00, 0x01,        // bcdDevice: revision, 0x01
    0x01, 0x02,        // iManufacturer, iProduct
    0x00,              // iSerialNumber (the block carries the serial elsewhere)
    0x01,              // bNumConfigurations
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

uint8_t Sum(const Block& b, size_t from, size_t to) {  // bytes from..to-1, low 8 bits
    uint8_t s = 0;
    for (size_t k = from; k < to; ++k) s = static_cast<uint8_t>(s + b[k]);
    return s;
}

// A USB string descriptor of UTF-16LE code units; returns its length.
size_t PutStringDescriptor(Block& b, size_t at, const std::u16string& text) {
    b[at] = static_cast<uint8_t>(2 * text.size() + 2);
    b[at + 1] = cfg::kStringDescriptorType;
    for (size_t k = 0; k < text.size(); ++k) {
        b[at + 2 + 2 * k] = static_cast<uint8_t>(text[k] & 0xFF);
        b[at + 3 + 2 * k] = static_cast<uint8_t>(text[k] >> 8);
    }
    return 2 * text.size() + 2;
}

// The code units of a USB string: UTF-8 as such; any other byte string is
// taken as Latin-1.
std::u16string UsbUnits(const std::string& text) {
    if (auto units = Utf8ToUtf16(text)) return *units;
    return *Utf8ToUtf16(Latin1ToUtf8(text));
}

// A blank-padded SCSI string, cut at `width`.
void PutScsiString(Block& b, size_t at, const std::string& text, size_t width) {
    for (size_t k = 0; k < width; ++k) {
        b[at + k] = k < text.size() ? static_cast<uint8_t>(text[k]) : uint8_t{0x20};
    }
}

void PutBigEndian32(Block& b, size_t at, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * (3 - k)));
}

int32_t GetBigEndian32(const uint8_t* p) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 8) | p[k];
    return static_cast<int32_t>(v);
}

std::string EightChars(const std::string& s) {
    std::string out = s.substr(0, cfg::kSerialChars);
    out.resize(cfg::kSerialChars, ' ');
    return out;
}

// Two digits of an identifier from `at`; a short identifier gives what it has
// there ("1" is the digit pair "1", then the empty pair).
std::string DigitPair(const std::string& id, size_t at) {
    return at < id.size() ? id.substr(at, 2) : std::string();
}

ComposeResult CheckIdentity(const ConfigIdentity& id) {
    if (id.Vid.empty() || id.Pid.empty() || id.UsbManufacturer.empty() || id.UsbProduct.empty() ||
        id.ScsiVendor.empty() || id.ScsiProduct.empty()) {
        return ComposeResult::MissingSetting;
    }
    if (UsbUnits(id.UsbManufacturer).size() + UsbUnits(id.UsbProduct).size() >
        cfg::kMaxStringChars) {
        return ComposeResult::TooLong;
    }
    return ComposeResult::Ok;
}

ConfigIdentity IdentityOf(const ProductSettings& s) {
    return {s.Vid, s.Pid, s.UsbManufacturer, s.UsbProduct, s.ScsiVendor, s.ScsiProduct};
}

}  // namespace

uint8_t HexByte(const std::string& text) {
    if (text.empty()) return 0;
    int value = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0) return 0;
        value = value * 16 + d;
    }
    return static_cast<uint8_t>(value);
}

ComposeResult ComposeConfigBlock(const ConfigIdentity& id, uint8_t revision,
                                 const std::string& serial, int32_t totalReserved,
                                 int32_t reserveImage, Block& out) {
    out.fill(0);
    const ComposeResult check = CheckIdentity(id);
    if (check != ComposeResult::Ok) return check;

    const std::u16string manufacturer = UsbUnits(id.UsbManufacturer);
    const std::u16string product = UsbUnits(id.UsbProduct);
    const size_t s = manufacturer.size() + product.size();
    out[cfg::kSignature] = cfg::kSignatureValue;
    out[cfg::kSignature2] = cfg::kSignature2Value;
    out[cfg::kMfrLength] = static_cast<uint8_t>(2 * manufacturer.size() + 2);
    out[cfg::kProductLength] = static_cast<uint8_t>(2 * product.size() + 2);

    std::copy(std::begin(kDeviceDescriptorTemplate), std::end(kDeviceDescriptorTemplate),
              out.begin() + cfg::kDeviceDescriptor);
    out[cfg::kIdVendor] = HexByte(DigitPair(id.Vid, 2));
    out[cfg::kIdVendor + 1] = HexByte(DigitPair(id.Vid, 0));
    out[cfg::kIdProduct] = HexByte(DigitPair(id.Pid, 2));
    out[cfg::kIdProduct + 1] = HexByte(DigitPair(id.Pid, 0));
    out[cfg::kBcdDevice] = revision;

    size_t at = cfg::kStrings;
    at += PutStringDescriptor(out, at, manufacturer);
    PutStringDescriptor(out, at, product);

    PutScsiString(out, cfg::ScsiVendorAt(s), id.ScsiVendor, cfg::kScsiVendorLength);
    PutScsiString(out, cfg::ScsiProductAt(s), id.ScsiProduct, cfg::kScsiProductLength);
    PutScsiString(out, cfg::RevisionAt(s), cfg::kRevisionText, cfg::kRevisionLength);
    out[cfg::HeaderChecksumAt(s)] = Sum(out, 0, cfg::HeaderChecksumAt(s));
    out[cfg::TrailerAt(s)] = cfg::kTrailer1;
    out[cfg::TrailerAt(s) + 1] = cfg::kTrailer2;

    out[cfg::kSerialMarker] = cfg::kSerialMarker1;
    out[cfg::kSerialMarker + 1] = cfg::kSerialMarker2;
    // The serial's 8 characters are 8-bit, each one code unit.
    std::u16string serialUnits;
    for (char c : EightChars(serial)) serialUnits += static_cast<char16_t>(static_cast<uint8_t>(c));
    PutStringDescriptor(out, cfg::kSerialDescriptor, serialUnits);
    out[cfg::kSerialChecksum] = Sum(out, cfg::kSerialDescriptor, cfg::kSerialChecksum);

    PutBigEndian32(out, cfg::kTotalReserved, totalReserved);
    PutBigEndian32(out, cfg::kReserveImage, reserveImage);
    return ComposeResult::Ok;
}

std::optional<DecodedConfigBlock> DecodeConfigBlock(const uint8_t* data, size_t size) {
    if (data == nullptr || size < kSector) return std::nullopt;
    const uint8_t mLen = data[cfg::kMfrLength], pLen = data[cfg::kProductLength];
    if (mLen < 2 || pLen < 2 || mLen % 2 != 0 || pLen % 2 != 0) return std::nullopt;
    const size_t lm = (mLen - 2) / 2, lp = (pLen - 2) / 2, s = lm + lp;
    if (s > cfg::kMaxStringChars) return std::nullopt;

    Block b{};
    std::copy(data, data + kSector, b.begin());
    DecodedConfigBlock d;
    bool plain = true;  // every string is whole UTF-16 and the serial 8-bit
    auto getString = [&](size_t at, size_t chars) {
        std::u16string units;
        for (size_t k = 0; k < chars; ++k) {
            units.push_back(static_cast<char16_t>(b[at + 2 + 2 * k] | (b[at + 3 + 2 * k] << 8)));
        }
        if (auto text = Utf16ToUtf8(units)) return *text;
        plain = false;
        std::string lowBytes;
        for (char16_t u : units) lowBytes.push_back(static_cast<char>(u & 0xFF));
        return Latin1ToUtf8(lowBytes);
    };
    auto getSerial = [&](size_t at) {
        std::string text;
        for (size_t k = 0; k < cfg::kSerialChars; ++k) {
            text.push_back(static_cast<char>(b[at + 2 + 2 * k]));
            if (b[at + 3 + 2 * k] != 0) plain = false;
        }
        return text;
    };
    const size_t productAt = cfg::kStrings + mLen;
    d.UsbManufacturer = getString(cfg::kStrings, lm);
    d.UsbProduct = getString(productAt, lp);
    d.Vid = HexPad(b[cfg::kIdVendor + 1], 2, false) + HexPad(b[cfg::kIdVendor], 2, false);
    d.Pid = HexPad(b[cfg::kIdProduct + 1], 2, false) + HexPad(b[cfg::kIdProduct], 2, false);
    d.Revision = b[cfg::kBcdDevice];
    auto raw = [&](size_t at, size_t n) { return std::string(b.begin() + at, b.begin() + at + n); };
    d.ScsiVendor = raw(cfg::ScsiVendorAt(s), cfg::kScsiVendorLength);
    d.ScsiProduct = raw(cfg::ScsiProductAt(s), cfg::kScsiProductLength);
    d.RevisionText = raw(cfg::RevisionAt(s), cfg::kRevisionLength);
    d.SerialNumber = getSerial(cfg::kSerialDescriptor);
    d.TotalReserved = GetBigEndian32(&b[cfg::kTotalReserved]);
    d.ReserveImage = GetBigEndian32(&b[cfg::kReserveImage]);

    d.HeaderOk = b[cfg::kSignature] == cfg::kSignatureValue &&
                 b[cfg::kSignature2] == cfg::kSignature2Value && b[cfg::kStrings] == mLen &&
                 b[cfg::kStrings + 1] == cfg::kStringDescriptorType && b[productAt] == pLen &&
                 b[productAt + 1] == cfg::kStringDescriptorType &&
                 b[cfg::HeaderChecksumAt(s)] == Sum(b, 0, cfg::HeaderChecksumAt(s)) &&
                 b[cfg::TrailerAt(s)] == cfg::kTrailer1 &&
                 b[cfg::TrailerAt(s) + 1] == cfg::kTrailer2;
    d.SerialOk = b[cfg::kSerialMarker] == cfg::kSerialMarker1 &&
                 b[cfg::kSerialMarker + 1] == cfg::kSerialMarker2 &&
                 b[cfg::kSerialDescriptor] == cfg::kSerialDescriptorLength &&
                 b[cfg::kSerialDescriptor + 1] == cfg::kStringDescriptorType &&
                 b[cfg::kSerialChecksum] == Sum(b, cfg::kSerialDescriptor, cfg::kSerialChecksum);

    bool canonical = d.HeaderOk && d.SerialOk && plain && lm > 0 && lp > 0 &&
                     d.RevisionText == cfg::kRevisionText;
    for (size_t k = 0; canonical && k < cfg::kDeviceDescriptorLength; ++k) {
        const size_t at = cfg::kDeviceDescriptor + k;
        const bool variable =
            (at >= cfg::kIdVendor && at < cfg::kIdProduct + 2) || at == cfg::kBcdDevice;
        if (!variable && b[at] != kDeviceDescriptorTemplate[k]) canonical = false;
    }
    for (size_t k = 0; canonical && k < kSector; ++k) {
        const bool named = k <= cfg::TrailerAt(s) + 1 ||
                           (k >= cfg::kSerialMarker && k <= cfg::kSerialChecksum) ||
                           (k >= cfg::kTotalReserved && k < cfg::kReserveImage + 4);
        if (!named && b[k] != 0) canonical = false;
    }
    d.Canonical = canonical;
    return d;
}

std::string ChooseSerial(const std::string& current, bool sectionPresent, bool given, bool complete,
                         const std::string& drawn) {
    if (complete) return EightChars(current);
    if (!sectionPresent) return std::string(cfg::kSerialChars, '0');
    if (!given) return EightChars(drawn);
    std::string prefix = current.substr(0, 3);
    prefix.resize(3, ' ');
    return EightChars(prefix + drawn.substr(0, 5));
}

// Each draw seeds a fresh generator from the clock. The clock's nanoseconds
// are mixed with a process-wide draw counter, so two draws that read the same
// clock value (ports drawing at the same moment) still get different seeds.
std::string DrawSerialHex() {
    static std::atomic<uint64_t> draws{0};
    const uint64_t ns =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    const uint64_t count = draws.fetch_add(1, std::memory_order_relaxed);
    std::seed_seq seed{static_cast<uint32_t>(ns), static_cast<uint32_t>(ns >> 32),
                       static_cast<uint32_t>(count), static_cast<uint32_t>(count >> 32)};
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double r = unit(generator);
    // Rounded to nearest, ties to even (the default rounding mode).
    const auto n = static_cast<int64_t>(std::nearbyint(r * 100000000.0));
    return HexPad(n, static_cast<int>(cfg::kSerialChars), false);
}

void SerialSource::Reset(const ProductSettings& s) {
    std::lock_guard<std::mutex> lock(mu_);
    number_ = s.SerialNumber;
    seeded_ = true;
}

std::string SerialSource::Select(const ProductSettings& s) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!seeded_) {
        number_ = s.SerialNumber;
        seeded_ = true;
    }
    if (s.SerialComplete) return EightChars(number_);
    number_ = ChooseSerial(number_, s.SerialSectionPresent, s.SerialGiven, s.SerialComplete,
                           DrawSerialHex());
    return number_;
}

void SerialSource::SetReserver(SerialReserver r) {
    std::lock_guard<std::mutex> lock(mu_);
    reserver_ = std::move(r);
}

bool SerialSource::Select(const ProductSettings& s, int16_t index, std::string* serial,
                          std::string* message) {
    SerialReserver reserve;
    std::string seed;
    {
        std::lock_guard<std::mutex> lock(mu_);
        reserve = reserver_;
        if (!reserve) {
            seed.clear();
        } else {
            if (!seeded_) {
                number_ = s.SerialNumber;
                seeded_ = true;
            }
            seed = number_;
        }
    }
    if (!reserve) {
        *serial = Select(s);
        return true;
    }
    // Every disk gets the same serial when the recipe gives a full one, or
    // none at all ("00000000"): logged, not reserved.
    const bool fixed = s.SerialComplete || !s.SerialSectionPresent;
    std::string prefix;
    if (!fixed && s.SerialGiven) {
        prefix = seed.substr(0, 3);
        while (!prefix.empty() && prefix.back() == ' ') prefix.pop_back();
    }
    const SerialReservation r = reserve(index, fixed, prefix, [&] {
        return s.SerialComplete ? EightChars(seed)
                                : ChooseSerial(seed, s.SerialSectionPresent, s.SerialGiven,
                                               s.SerialComplete, DrawSerialHex());
    });
    if (!r.ok) {
        *message = r.message;
        return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!s.SerialComplete) number_ = r.serial;
    *serial = r.serial;
    return true;
}

void SerialSource::SetAnnouncer(ConfigAnnouncer a) {
    std::lock_guard<std::mutex> lock(mu_);
    announcer_ = std::move(a);
}

bool SerialSource::Announce(int16_t index, const std::array<uint8_t, kSector>& block,
                            std::string* message) const {
    ConfigAnnouncer announce;
    {
        std::lock_guard<std::mutex> lock(mu_);
        announce = announcer_;
    }
    return !announce || announce(index, block, message);
}

std::string SerialSource::Current(const ProductSettings& s) const {
    std::lock_guard<std::mutex> lock(mu_);
    return seeded_ ? number_ : s.SerialNumber;
}

std::optional<BuildResult> BuildConfigBlock(const PortJob& job, bool write) {
    PortRecord* p = &job.port;
    const ProductSettings& s = job.recipe;

    p->SectorBuffer.fill(0);
    Block info{};
    // The block carries the controller's revision: without the device
    // information there is no block to write (nor one to compare with).
    const bool infoRead = job.lib.VendorR(p->Handle, sub::kDeviceInfo, info.data()) != 0;

    const ConfigIdentity id = IdentityOf(s);
    // Missing strings, and strings too long to fit before the serial part,
    // leave the block unwritten.
    if (CheckIdentity(id) != ComposeResult::Ok) {
        p->ErrorStatus = Code(Status::MissingSetting);
        return BuildResult::MissingSetting;
    }

    if (!infoRead) {
        p->ErrorStatus = Code(Status::DeviceInfoUnreadable);
        return BuildResult::InfoUnreadable;
    }

    std::string serial;
    if (!write) {
        serial = job.run.serial.Current(s);
    } else {
        std::string message;
        if (!job.run.serial.Select(s, job.index(), &serial, &message)) {
            // No serial that no other disk holds: nothing is written.
            p->ErrorStatus = Code(Status::InternalError);
            job.view.ShowMessage("Disk " + std::to_string(job.index()) + ": " + message,
                                 Icon::Exclamation);
            return BuildResult::WriteFailed;
        }
    }
    // The reserved total of this port's layout (formatted in this run, or
    // worked out from its chips); else the recipe's.
    const int32_t totalReserved = job.values.formatted || job.values.layoutKnown
                                      ? job.values.TotalReservedSectors
                                      : s.TotalReservedSectors;
    ComposeConfigBlock(id, info[devinfo::kRevision], serial, totalReserved, s.ReserveImageSectors,
                       p->SectorBuffer);
    if (!write) return std::nullopt;

    // The disk is on record before it carries the block: a station killed
    // between the two never leaves a configured disk that no record knows.
    if (std::string message; !job.run.serial.Announce(job.index(), p->SectorBuffer, &message)) {
        p->ErrorStatus = Code(Status::InternalError);
        job.view.ShowMessage("Disk " + std::to_string(job.index()) + ": " + message,
                             Icon::Exclamation);
        return BuildResult::WriteFailed;
    }
    if (job.lib.VendorW(p->Handle, sub::kConfigWrite, kSector, p->SectorBuffer.data()) == 1) {
        // Kept for the production log: the check step reuses SectorBuffer.
        p->WrittenConfig = p->SectorBuffer;
        p->ConfigWritten = true;
        return BuildResult::Written;
    }
    p->ErrorStatus = Code(Status::ConfigWriteFailed);
    return BuildResult::WriteFailed;
}

VerifyResult VerifyConfigBlock(const PortJob& job) {
    PortRecord* p = &job.port;
    p->SectorBuffer.fill(0);
    p->ReplyBuffer.fill(0);
    if (job.lib.VendorR(p->Handle, sub::kConfigRead, p->ReplyBuffer.data()) != 1) {
        p->ErrorStatus = Code(Status::ConfigReadBack);
        return VerifyResult::Unreadable;
    }
    // A block that cannot be rebuilt (missing settings) never matches, even a
    // blank stored block.
    const auto build = BuildConfigBlock(job, false);
    const bool rebuilt = !build.has_value();
    if (build == BuildResult::InfoUnreadable) {
        // Nothing to compare with: the check fails, as a mismatch does.
        p->ErrorStatus = Code(Status::ConfigReadBack);
        return VerifyResult::Differs;
    }
    if (!rebuilt ||
        !std::equal(p->ReplyBuffer.begin(), p->ReplyBuffer.begin() + cfg::kComparedBytes,
                    p->SectorBuffer.begin())) {
        p->ErrorStatus = Code(Status::ConfigReadBack);
        return VerifyResult::Differs;
    }
    return VerifyResult::Matches;
}

void SetUsbScsiStr(const PortJob& job) {
    PortRecord& p = job.port;
    PortView& v = job.view;
    BuildResult result = BuildResult::WriteFailed;
    StepAction(p, [&] { v.ShowColumn(Column::ConfigString); });
    StepAction(p, [&] { result = BuildConfigBlock(job, true).value_or(BuildResult::WriteFailed); });
    const char* first = result == BuildResult::MissingSetting ? "X" : "V";
    const char* second = result == BuildResult::Written ? "V" : "X";
    StepAction(p, [&] { v.SetMark(Column::ConfigString, std::string("String = ") + first); });
    StepAction(p, [&] { v.SetText(Column::ConfigString, std::string("Write = ") + second); });
    if (result != BuildResult::Written) {
        StepAction(p, [&] { v.SetPicture(Picture::Failed); });
        job.Fail();
    }
}

}  // namespace galmor
