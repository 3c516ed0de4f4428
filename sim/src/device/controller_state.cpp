// Identity, unit map, persistence and the decoded view of the controller model.
#include <algorithm>
#include <cstdio>

#include "controller.h"

namespace simdev::ctl {
namespace {

constexpr uint16_t kFreshVid = 0x0E5A;
constexpr uint16_t kFreshPid = 0x7301;
constexpr int kStateFormat = 1;

nlohmann::json block_json(const std::optional<Block>& b) {
    return b ? nlohmann::json(to_hex(*b)) : nlohmann::json(nullptr);
}

// Reads an optional block: null is "none"; anything else must be 512 bytes of hex.
bool block_from(const nlohmann::json& j, std::optional<Block>& out) {
    if (j.is_null()) {
        out.reset();
        return true;
    }
    if (!j.is_string()) return false;
    out = block_from_hex(j.get<std::string>());
    return out.has_value();
}

// Units of a finished device with layout `l`.
std::vector<UnitMap> finished_units(const Layout& l, const AreaMap& m, const std::string& vendor,
                                    const std::string& product) {
    std::vector<UnitMap> out;
    auto unit = [&](std::string name, UnitClass cls, uint64_t sectors, bool removable) {
        UnitMap u;
        u.id.cls = cls;
        u.id.vendor = vendor;
        u.id.product = product;
        u.id.revision = "8.00";
        u.id.removable = removable;
        u.id.sectors = sectors;
        u.id.medium = sectors > 0;
        u.id.name = std::move(name);
        return u;
    };
    if (!l.loader_disabled) {
        auto u = unit("cdrom", UnitClass::Cdrom, m.loader, true);
        u.writable = false;
        out.push_back(u);
    }
    if (l.non_removable) {
        auto u = unit("disk1", UnitClass::Disk, m.reserved, false);
        u.region = Region::Reserved;
        out.push_back(u);
    } else {
        auto u = unit("disk1", UnitClass::Disk, m.part1, true);
        u.base = m.loader;
        out.push_back(u);
        if (m.part2) {
            auto u2 = unit("disk2", UnitClass::Disk, m.part2, true);
            u2.base = m.loader + m.part1;
            out.push_back(u2);
        }
    }
    return out;
}

nlohmann::json sector_json(const std::optional<uint64_t>& sector) {
    return sector ? nlohmann::json(*sector) : nlohmann::json(nullptr);
}

// Reads an optional sector: absent or null is "none".
std::optional<uint64_t> sector_from(const nlohmann::json& parent, const char* key) {
    if (!parent.contains(key) || parent.at(key).is_null()) return std::nullopt;
    return parent.at(key).get<uint64_t>();
}

nlohmann::json faults_json(const FlashFaults& f) {
    return {{"drop_writes_from", sector_json(f.drop_writes_from)},
            {"flip_bits", sector_json(f.flip_bits)},
            {"read_error", sector_json(f.read_error)}};
}

nlohmann::json unit_json(const UnitIdentity& u) {
    return {{"name", u.name},
            {"class", u.cls == UnitClass::Cdrom ? "cdrom" : "disk"},
            {"vendor", sanitize_utf8(u.vendor)},
            {"product", sanitize_utf8(u.product)},
            {"revision", sanitize_utf8(u.revision)},
            {"removable", u.removable},
            {"medium", u.medium},
            {"sectors", u.sectors}};
}

}  // namespace

ControllerState Controller::fresh_state(const FreshOptions& o) {
    ControllerState s;
    s.vendor = sanitize_utf8(o.vendor.substr(0, 8));
    s.product = sanitize_utf8(o.product.substr(0, 16));
    s.revision = sanitize_utf8(o.revision.substr(0, 4));
    s.chips = o.chips;
    if (s.chips.size() > kBlockSize - 1) s.chips.resize(kBlockSize - 1);
    s.fw_rev = o.fw_rev;
    s.hw_write_protect = o.hw_write_protect;
    s.sw_write_protect = o.sw_write_protect;
    s.wp_switch_on = o.wp_switch_on;
    s.bad_blocks = o.bad_blocks;
    s.on_usb = o.usb;
    s.faults = o.faults;
    s.page2[0] = 2;
    if (o.password) {
        s.page2[129] = 1;
        s.page2[130] = 4;
    }
    s.page4[0] = 4;
    return s;
}

std::optional<AreaMap> Controller::areas() const {
    if (!s_.layout) return std::nullopt;
    return fit_layout(*s_.layout, capacity()).map;
}

uint64_t Controller::host_sectors() const {
    const auto m = areas();
    return m ? m->host : capacity();
}

uint64_t Controller::distinct_erased() const {
    uint64_t n = 0;
    for (const auto& [first, end] : s_.erased) n += end - first;
    return n;
}

std::vector<UnitMap> Controller::presented() const {
    if (finished()) {
        const auto fit = fit_layout(*s_.presented_layout, capacity());
        if (fit.map) {
            const ConfigInfo ci = decode_config(*s_.presented_config);
            return finished_units(*s_.presented_layout, *fit.map, ci.scsi_vendor, ci.scsi_product);
        }
    }
    UnitMap u;
    u.id.cls = UnitClass::Disk;
    u.id.vendor = s_.vendor;
    u.id.product = s_.product;
    u.id.revision = s_.revision;
    u.id.removable = true;
    u.id.sectors = host_sectors();
    u.id.medium = true;
    u.id.name = "disk";
    return {u};
}

std::vector<UnitIdentity> Controller::units() const {
    std::vector<UnitIdentity> out;
    for (const auto& u : presented()) out.push_back(u.id);
    return out;
}

UsbIdentity Controller::usb() const {
    UsbIdentity id;
    if (finished()) {
        const ConfigInfo ci = decode_config(*s_.presented_config);
        id.vid = ci.vid;
        id.pid = ci.pid;
        id.bcd = ci.bcd;
        id.manufacturer = ci.manufacturer;
        id.product = ci.product;
        id.serial = ci.serial;
        return id;
    }
    id.vid = kFreshVid;
    id.pid = kFreshPid;
    id.bcd = uint16_t(0x0100 | s_.fw_rev);
    id.manufacturer = s_.vendor;
    id.product = s_.product;
    return id;
}

void Controller::replug() {
    s_.last_page = 0;
    s_.pending_page.reset();
    s_.pending_page_no = 0;
    s_.pending_layout.reset();
    s_.reserved_open = false;
    s_.last_op = 0;
    s_.last_op_refused = false;
    s_.sense = {};
    s_.presented_config.reset();
    s_.presented_layout.reset();
    if (s_.config && s_.layout && decode_config(*s_.config).valid && areas()) {
        s_.presented_config = s_.config;
        s_.presented_layout = s_.layout;
    }
}

std::optional<Extent> Controller::extent(const std::string& name) const {
    if (name == "flash") return Extent{Region::Flash, 0, capacity() * 512};
    if (!finished() && name == "disk") return Extent{Region::Flash, 0, host_sectors() * 512};
    // Areas of the layout in use: the presented one, else the one committed since.
    const std::optional<Layout> l = finished() ? s_.presented_layout : s_.layout;
    if (!l) return std::nullopt;
    const auto m = fit_layout(*l, capacity()).map;
    if (!m) return std::nullopt;
    if (name == "reserved") return Extent{Region::Reserved, 0, m->reserved * 512};
    for (const auto& u : finished_units(*l, *m, "", "")) {
        if (u.id.name == name) return Extent{u.region, u.base * 512, u.id.sectors * 512};
    }
    return std::nullopt;
}

nlohmann::json Controller::save() const {
    nlohmann::json erased = nlohmann::json::array();
    for (const auto& [first, end] : s_.erased) erased.push_back({first, end});
    return {{"kind", "controller"},
            {"format", kStateFormat},
            {"hardware",
             {{"vendor", sanitize_utf8(s_.vendor)},
              {"product", sanitize_utf8(s_.product)},
              {"revision", sanitize_utf8(s_.revision)},
              {"chips", s_.chips},
              {"fw_rev", s_.fw_rev},
              {"hw_write_protect", s_.hw_write_protect},
              {"wp_switch_on", s_.wp_switch_on},
              {"bad_blocks", s_.bad_blocks},
              {"usb", s_.on_usb},
              {"flash_faults", faults_json(s_.faults)}}},
            {"flash",
             {{"sw_write_protect", s_.sw_write_protect},
              {"page2", to_hex(s_.page2)},
              {"page4", to_hex(s_.page4)},
              {"config", block_json(s_.config)},
              {"layout", s_.layout ? layout_to_json(*s_.layout) : nlohmann::json(nullptr)},
              {"erase_commands", s_.erase_commands},
              {"erased", erased},
              {"reserved_bytes_written", s_.reserved_bytes_written},
              {"reserved_high_water", s_.reserved_high_water},
              {"sectors_dropped", s_.sectors_dropped},
              {"reads_flipped", s_.reads_flipped},
              {"reads_failed", s_.reads_failed}}},
            {"presented",
             {{"config", block_json(s_.presented_config)},
              {"layout", s_.presented_layout ? layout_to_json(*s_.presented_layout)
                                             : nlohmann::json(nullptr)}}},
            {"ram",
             {{"last_page", s_.last_page},
              {"pending_page", block_json(s_.pending_page)},
              {"pending_page_no", s_.pending_page_no},
              {"pending_layout", block_json(s_.pending_layout)},
              {"reserved_open", s_.reserved_open},
              {"last_op", s_.last_op},
              {"last_op_refused", s_.last_op_refused},
              {"sense", {s_.sense.key, s_.sense.asc, s_.sense.ascq}}}}};
}

std::optional<ControllerState> Controller::from_json(const nlohmann::json& j) {
    try {
        if (j.at("kind") != "controller" || j.at("format") != kStateFormat) return std::nullopt;
        ControllerState s;
        const auto& hw = j.at("hardware");
        s.vendor = hw.at("vendor").get<std::string>();
        s.product = hw.at("product").get<std::string>();
        s.revision = hw.at("revision").get<std::string>();
        s.chips = hw.at("chips").get<std::vector<uint8_t>>();
        s.fw_rev = hw.at("fw_rev").get<uint8_t>();
        s.hw_write_protect = hw.at("hw_write_protect").get<bool>();
        s.wp_switch_on = hw.at("wp_switch_on").get<bool>();
        s.bad_blocks = hw.at("bad_blocks").get<bool>();
        s.on_usb = hw.at("usb").get<bool>();
        // Devices saved before the flash faults existed have none.
        if (hw.contains("flash_faults")) {
            const auto& f = hw.at("flash_faults");
            s.faults.drop_writes_from = sector_from(f, "drop_writes_from");
            s.faults.flip_bits = sector_from(f, "flip_bits");
            s.faults.read_error = sector_from(f, "read_error");
        }

        const auto& fl = j.at("flash");
        s.sw_write_protect = fl.at("sw_write_protect").get<bool>();
        auto p2 = block_from_hex(fl.at("page2").get<std::string>());
        auto p4 = block_from_hex(fl.at("page4").get<std::string>());
        if (!p2 || !p4 || !block_from(fl.at("config"), s.config)) return std::nullopt;
        s.page2 = *p2;
        s.page4 = *p4;
        if (!fl.at("layout").is_null()) {
            s.layout = layout_from_json(fl.at("layout"));
            if (!s.layout) return std::nullopt;
        }
        s.erase_commands = fl.at("erase_commands").get<uint64_t>();
        for (const auto& run : fl.at("erased")) {
            const auto first = run.at(0).get<uint32_t>(), end = run.at(1).get<uint32_t>();
            if (end <= first) return std::nullopt;
            s.erased[first] = end;
        }
        s.reserved_bytes_written = fl.at("reserved_bytes_written").get<uint64_t>();
        s.reserved_high_water = fl.at("reserved_high_water").get<uint64_t>();
        s.sectors_dropped = fl.value("sectors_dropped", uint64_t{0});
        s.reads_flipped = fl.value("reads_flipped", uint64_t{0});
        s.reads_failed = fl.value("reads_failed", uint64_t{0});

        const auto& pr = j.at("presented");
        if (!block_from(pr.at("config"), s.presented_config)) return std::nullopt;
        if (!pr.at("layout").is_null()) {
            s.presented_layout = layout_from_json(pr.at("layout"));
            if (!s.presented_layout) return std::nullopt;
        }

        const auto& ram = j.at("ram");
        s.last_page = ram.at("last_page").get<uint8_t>();
        s.pending_page_no = ram.at("pending_page_no").get<uint8_t>();
        if (!block_from(ram.at("pending_page"), s.pending_page) ||
            !block_from(ram.at("pending_layout"), s.pending_layout))
            return std::nullopt;
        s.reserved_open = ram.at("reserved_open").get<bool>();
        s.last_op = ram.at("last_op").get<uint8_t>();
        s.last_op_refused = ram.at("last_op_refused").get<bool>();
        const auto& sense = ram.at("sense");
        s.sense = {sense.at(0).get<uint8_t>(), sense.at(1).get<uint8_t>(),
                   sense.at(2).get<uint8_t>()};
        return s;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

nlohmann::json Controller::inspect() const {
    const UsbIdentity id = usb();
    char vid[8], pid[8], bcd[8];
    std::snprintf(vid, sizeof vid, "%04X", id.vid);
    std::snprintf(pid, sizeof pid, "%04X", id.pid);
    std::snprintf(bcd, sizeof bcd, "%04X", id.bcd);

    nlohmann::json units = nlohmann::json::array();
    for (const auto& u : this->units()) units.push_back(unit_json(u));

    nlohmann::json chips = nlohmann::json::array();
    for (uint8_t c : s_.chips) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", c);
        chips.push_back(buf);
    }

    nlohmann::json config = {{"stored", s_.config.has_value()}};
    if (s_.config) config.update(config_to_json(decode_config(*s_.config)));

    nlohmann::json layout = nullptr;
    if (s_.layout) {
        layout = layout_to_json(*s_.layout);
        if (const auto m = areas()) {
            layout["loader_sectors"] = m->loader;
            layout["user_sectors"] = m->user;
            layout["partition_sectors"] =
                m->part2 ? nlohmann::json{m->part1, m->part2}
                         : (m->part1 ? nlohmann::json{m->part1} : nlohmann::json::array());
            layout["host_sectors"] = m->host;
        }
    }

    nlohmann::json flash_faults = faults_json(s_.faults);
    flash_faults["sectors_dropped"] = s_.sectors_dropped;
    flash_faults["reads_flipped"] = s_.reads_flipped;
    flash_faults["reads_failed"] = s_.reads_failed;

    return {{"kind", "controller"},
            {"state", finished() ? "finished" : "fresh"},
            {"usb",
             {{"vid", vid},
              {"pid", pid},
              {"bcd_device", bcd},
              {"manufacturer", sanitize_utf8(id.manufacturer)},
              {"product", sanitize_utf8(id.product)},
              {"serial", sanitize_utf8(id.serial)}}},
            {"units", units},
            {"fw_rev", s_.fw_rev},
            {"chips", chips},
            {"capacity_sectors", capacity()},
            {"password", password()},
            {"hw_write_protect", s_.hw_write_protect},
            {"sw_write_protect", s_.sw_write_protect},
            {"wp_switch_on", s_.wp_switch_on},
            {"bad_blocks", s_.bad_blocks},
            {"flash_faults", flash_faults},
            {"config_block", config},
            {"layout", layout},
            {"layout_received", s_.pending_layout.has_value()},
            {"total_blocks", total_blocks(s_.chips)},
            {"erased_blocks", distinct_erased()},
            {"erase_commands", s_.erase_commands},
            {"reserved_access_open", s_.reserved_open},
            {"reserved_bytes_written", s_.reserved_bytes_written},
            {"reserved_high_water_sectors", s_.reserved_high_water}};
}

}  // namespace simdev::ctl
