// A plain USB disk: standard block commands only, optionally with a read-only
// CD-ROM unit behind the disk unit. The disk unit occupies the start of the
// flash region, the CD-ROM unit follows it.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "kinds.h"

namespace simdev {
namespace {

constexpr uint32_t kSector = 512;
constexpr uint64_t kCdromSectors = 4096;             // 2 MiB, all zeros unless written to the store
constexpr uint64_t kMaxSectors = uint64_t{1} << 32;  // READ CAPACITY(10) limit

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;

constexpr Response kCheck{kStatusCheckCondition, 0};

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

class PlainDisk final : public Device {
  public:
    PlainDisk(std::string vendor, std::string product, std::string revision, uint64_t sectors,
              bool cdrom, bool medium, bool usb)
        : vendor_(std::move(vendor)),
          product_(std::move(product)),
          revision_(std::move(revision)),
          sectors_(sectors),
          cdrom_(cdrom),
          medium_(medium),
          usb_(usb),
          ejected_(cdrom ? 2 : 1, false) {
        if (sectors_ == 0 || sectors_ > kMaxSectors) {
            throw std::invalid_argument("plain disk capacity out of range");
        }
        vendor_.resize(std::min<size_t>(vendor_.size(), 8));
        product_.resize(std::min<size_t>(product_.size(), 16));
        revision_.resize(std::min<size_t>(revision_.size(), 4));
    }

    std::vector<UnitIdentity> units() const override {
        std::vector<UnitIdentity> out;
        for (size_t i = 0; i < unit_count(); ++i) {
            UnitIdentity u;
            u.cls = is_cdrom(i) ? UnitClass::Cdrom : UnitClass::Disk;
            u.vendor = vendor_;
            u.product = product_;
            u.revision = revision_;
            u.removable = true;
            u.sectors = unit_sectors(i);
            u.medium = has_medium(i);
            u.name = is_cdrom(i) ? "cdrom" : "disk1";
            out.push_back(std::move(u));
        }
        return out;
    }

    UsbIdentity usb() const override {
        UsbIdentity id;
        id.manufacturer = vendor_;
        id.product = product_;
        return id;
    }

    bool on_usb() const override { return usb_; }

    Response execute(size_t unit, const Request& req, Store& store) override {
        if (unit >= unit_count() || req.cdb.empty()) return kCheck;
        switch (req.cdb[0]) {
            case kTestUnitReady:
                return has_medium(unit) ? Response{} : kCheck;
            case kRead10:
            case kWrite10:
                return read_write(unit, req, store);
            case kReadCapacity10:
                return read_capacity(unit, req);
            case kModeSense6:
                return mode_sense(unit, req);
            case kStartStopUnit:
                return start_stop(unit, req);
            default:
                return kCheck;
        }
    }

    void replug() override { std::fill(ejected_.begin(), ejected_.end(), false); }

    std::optional<Extent> extent(const std::string& name) const override {
        if (name == "disk1" || name == "disk") return Extent{Region::Flash, 0, sectors_ * kSector};
        if (name == "cdrom" && cdrom_) {
            return Extent{Region::Flash, sectors_ * kSector, kCdromSectors * kSector};
        }
        if (name == "flash") return Extent{Region::Flash, 0, flash_sectors() * kSector};
        return std::nullopt;
    }

    nlohmann::json save() const override {
        return {{"kind", "plain_disk"},  {"vendor", vendor_},   {"product", product_},
                {"revision", revision_}, {"sectors", sectors_}, {"cdrom", cdrom_},
                {"medium", medium_},     {"usb", usb_},         {"ejected", ejected_}};
    }

    nlohmann::json inspect() const override {
        nlohmann::json j = save();
        j["cdrom_sectors"] = cdrom_ ? kCdromSectors : 0;
        return j;
    }

    static std::unique_ptr<Device> load(const nlohmann::json& j) {
        auto d = std::make_unique<PlainDisk>(
            j.at("vendor").get<std::string>(), j.at("product").get<std::string>(),
            j.at("revision").get<std::string>(), j.at("sectors").get<uint64_t>(),
            j.at("cdrom").get<bool>(), j.at("medium").get<bool>(), j.at("usb").get<bool>());
        auto ejected = j.at("ejected").get<std::vector<bool>>();
        if (ejected.size() != d->ejected_.size()) throw std::invalid_argument("bad unit count");
        d->ejected_ = std::move(ejected);
        return d;
    }

  private:
    size_t unit_count() const { return cdrom_ ? 2 : 1; }
    bool is_cdrom(size_t unit) const { return unit == 1; }
    uint64_t unit_sectors(size_t unit) const { return is_cdrom(unit) ? kCdromSectors : sectors_; }
    uint64_t unit_base(size_t unit) const { return is_cdrom(unit) ? sectors_ * kSector : 0; }
    uint64_t flash_sectors() const { return sectors_ + (cdrom_ ? kCdromSectors : 0); }
    // Without medium (a plug option) no unit is ready; an ejected unit neither.
    bool has_medium(size_t unit) const { return medium_ && !ejected_[unit]; }

    Response read_write(size_t unit, const Request& req, Store& store) {
        const bool write = req.cdb[0] == kWrite10;
        if (req.cdb.size() < 10 || !has_medium(unit)) return kCheck;
        if (req.dir != (write ? Direction::Out : Direction::In)) return kCheck;
        if (write && is_cdrom(unit)) return kCheck;  // read-only medium
        const uint64_t lba = be32(&req.cdb[2]);
        const uint64_t count = uint32_t{req.cdb[7]} << 8 | req.cdb[8];
        if (lba + count > unit_sectors(unit)) return kCheck;
        const uint64_t bytes = count * kSector;
        // The host must offer room for everything the command moves.
        if (bytes > req.data.size()) return kCheck;
        if (bytes == 0) return {};
        const uint64_t at = unit_base(unit) + lba * kSector;
        const bool ok = write ? store.write(Region::Flash, at, req.data.data(), bytes)
                              : store.read(Region::Flash, at, req.data.data(), bytes);
        if (!ok) return kCheck;
        return {kStatusGood, static_cast<uint32_t>(bytes)};
    }

    Response read_capacity(size_t unit, const Request& req) const {
        if (!has_medium(unit) || req.dir != Direction::In || req.data.size() < 8) return kCheck;
        put_be32(&req.data[0], static_cast<uint32_t>(unit_sectors(unit) - 1));
        put_be32(&req.data[4], kSector);
        return {kStatusGood, 8};
    }

    // Header of four bytes, then the informational exceptions page (0x1C),
    // the only page this disk has.
    Response mode_sense(size_t unit, const Request& req) const {
        if (req.cdb.size() < 6 || req.dir != Direction::In) return kCheck;
        const uint8_t page = req.cdb[2] & 0x3F;
        const uint8_t control = req.cdb[2] >> 6;
        if (control == 3) return kCheck;  // saved values not supported
        if (page != 0x1C && page != 0x3F) return kCheck;
        std::array<uint8_t, 16> reply{};
        reply[0] = uint8_t(reply.size() - 1);
        reply[2] = is_cdrom(unit) ? 0x80 : 0x00;  // write protected
        reply[4] = 0x1C;
        reply[5] = 0x0A;
        const size_t n = std::min<size_t>({reply.size(), req.cdb[4], req.data.size()});
        std::memcpy(req.data.data(), reply.data(), n);
        return {kStatusGood, static_cast<uint32_t>(n)};
    }

    // LoEj with Start clear ejects the medium; with Start set it loads it again.
    Response start_stop(size_t unit, const Request& req) {
        if (req.cdb.size() < 5) return kCheck;
        const bool start = req.cdb[4] & 0x01;
        const bool loej = req.cdb[4] & 0x02;
        if (loej) ejected_[unit] = !start;
        return {};
    }

    std::string vendor_, product_, revision_;
    uint64_t sectors_;
    bool cdrom_, medium_, usb_;
    std::vector<bool> ejected_;
};

}  // namespace

std::unique_ptr<Device> make_plain_disk(const FreshOptions& o) {
    return std::make_unique<PlainDisk>(o.vendor, o.product, o.revision, o.plain_sectors,
                                       o.with_cdrom, !o.no_medium, o.usb);
}

std::unique_ptr<Device> load_plain_disk(const nlohmann::json& saved) {
    return PlainDisk::load(saved);
}

}  // namespace simdev
