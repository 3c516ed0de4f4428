// simbus: administration of a simulated USB bus (plug, unplug, inspect, export, trace).
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "simbus/bus.h"

namespace {

// A usage error: the same exit code in every program of the station.
constexpr int kExitUsage = 64;

struct UsageError {
    std::string message;
};
// The bus folder or the device named does not exist.
struct NotFound {
    std::string message;
};

// "93", "0x93", "F7": one byte in hexadecimal.
uint8_t parse_hex_byte(const std::string& text, const std::string& what) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw UsageError{what + ": '" + text + "' is not a hexadecimal byte"};
    }
    return static_cast<uint8_t>(std::stoul(digits, nullptr, 16));
}

// Decimal, or hexadecimal with 0x.
unsigned long long parse_number(const std::string& text, unsigned long long max,
                                const std::string& what) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 16 ||
        digits.find_first_not_of(allowed) != std::string::npos) {
        throw UsageError{what + ": '" + text + "' is not a number"};
    }
    const unsigned long long v = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (v > max) throw UsageError{what + ": " + text + " is out of range"};
    return v;
}

simbus::Fault parse_fault(const std::string& text, bool unplug, const std::string& option) {
    simbus::Fault f;
    f.unplug = unplug;
    const size_t colon = text.find(':');
    f.opcode = parse_hex_byte(text.substr(0, colon), option);
    if (colon != std::string::npos) {
        f.nth = static_cast<uint32_t>(parse_number(text.substr(colon + 1), 0xFFFFFFFFu, option));
        if (f.nth == 0) throw UsageError{option + ": occurrences count from 1"};
    }
    return f;
}

std::vector<uint8_t> parse_chips(const std::string& list) {
    std::vector<uint8_t> chips;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const uint8_t code = parse_hex_byte(list.substr(start, comma - start), "--chips");
        if (code == 0xAA) throw UsageError{"--chips: AA ends the chip list and cannot be a chip"};
        chips.push_back(code);
        start = comma + 1;
    }
    return chips;
}

void check_length(const std::string& value, size_t max, const std::string& option) {
    if (value.size() > max) {
        throw UsageError{option + ": at most " + std::to_string(max) + " characters"};
    }
}

// Readable rendering of an inspect result.
void print_json(const nlohmann::json& j, int indent) {
    const std::string pad(static_cast<size_t>(indent), ' ');
    auto scalar = [](const nlohmann::json& v) {
        return v.is_string() ? v.get<std::string>() : v.dump();
    };
    if (j.is_object()) {
        for (const auto& [key, value] : j.items()) {
            if (value.is_structured() && !value.empty()) {
                std::cout << pad << key << ":\n";
                print_json(value, indent + 2);
            } else {
                std::cout << pad << key << ": " << scalar(value) << "\n";
            }
        }
    } else if (j.is_array()) {
        for (const auto& value : j) {
            if (value.is_structured() && !value.empty()) {
                std::cout << pad << "-\n";
                print_json(value, indent + 2);
            } else {
                std::cout << pad << "- " << scalar(value) << "\n";
            }
        }
    } else {
        std::cout << pad << scalar(j) << "\n";
    }
}

std::string bus_folder(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* env = std::getenv("SARNIK_SIM_BUS"); env && *env) return env;
    throw NotFound{"no bus folder: give --bus DIR or set SARNIK_SIM_BUS"};
}

void require_bus(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw NotFound{"bus folder " + dir + " does not exist"};
    }
}

void require_device(const simbus::Bus& bus, const std::string& id) {
    for (const auto& known : bus.list()) {
        if (known == id) return;
    }
    throw NotFound{"no device " + id + " on bus " + bus.dir()};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Administers a simulated USB bus: a folder of simulated flash disks that the command "
        "library drives when SARNIK_SIM_BUS names it."};
    app.require_subcommand(1, 1);
    app.set_version_flag("--version", std::string("simbus ") + UFD_VERSION);
    app.footer(
        "Exit codes:\n"
        "  0  done\n"
        "  1  the command failed on the bus (a device that is gone, a file not written)\n"
        "  2  no bus folder, or no such device on the bus\n"
        "  64 usage error: an unknown option, a bad option value or options that do not go\n"
        "     together");
    std::string bus_option;
    app.add_option("--bus", bus_option, "Bus folder (default: $SARNIK_SIM_BUS)");

    // plug
    auto* plug = app.add_subcommand("plug", "Plugs a new device and prints its id");
    std::string chips, fw_rev, vendor, product, rev, timing = "none";
    std::vector<std::string> fails, unplugs;
    bool password = false, hw_wp = false, sw_wp = false, wp_switch = false, bad_blocks = false;
    bool plain = false, with_cdrom = false, no_medium = false, not_usb = false;
    std::string sectors;
    plug->add_option("--chips", chips,
                     "Flash chips as hexadecimal device codes, e.g. DC,75 (default DC)");
    plug->add_option("--fw-rev", fw_rev, "Firmware revision byte (default 5)");
    plug->add_option("--vendor", vendor, "SCSI vendor text, up to 8 characters");
    plug->add_option("--product", product, "SCSI product text, up to 16 characters");
    plug->add_option("--rev", rev, "SCSI revision text, up to 4 characters (default 7.77)");
    plug->add_flag("--password", password, "A user password is set");
    plug->add_flag("--hw-write-protect", hw_wp, "Hardware write protect flag");
    plug->add_flag("--sw-write-protect", sw_wp, "Software write protect flag");
    plug->add_flag("--wp-switch-on", wp_switch, "The write-protect switch is on");
    plug->add_flag("--bad-blocks", bad_blocks, "Too many bad blocks flag");
    plug->add_option("--fail", fails,
                     "SUBCMD[:NTH]: the NTH (default 1st) command with this opcode (hex) "
                     "fails with CHECK CONDITION; repeatable");
    plug->add_option("--unplug-at", unplugs,
                     "SUBCMD[:NTH]: the device disappears at the NTH (default 1st) command "
                     "with this opcode (hex); repeatable");
    plug->add_option("--timing", timing, "Timing model: none, usb2 or usb1")
        ->check(CLI::IsMember({"none", "usb2", "usb1"}));
    plug->add_flag("--plain", plain,
                   "A plain USB disk instead of a controller of the family (default "
                   "identity GENERIC / USB DISK / 1.00)");
    plug->add_flag("--with-cdrom", with_cdrom, "Plain disk: also a CD-ROM unit");
    plug->add_flag("--no-medium", no_medium, "Plain disk: no medium (units not ready)");
    plug->add_option("--sectors", sectors, "Plain disk: capacity in 512-byte sectors");
    plug->add_flag("--not-usb", not_usb, "The device hangs on a non-USB bus");
    std::string drop_from, flip_bits, read_error;
    plug->add_option("--drop-writes-from", drop_from,
                     "SECTOR: writes to this flash sector and beyond are acknowledged but not "
                     "kept (the disk claims more flash than it has)");
    plug->add_option("--flip-bits", flip_bits,
                     "SECTOR: this flash sector reads back with a bit flipped");
    plug->add_option("--read-error", read_error,
                     "SECTOR: reads that cover this flash sector fail with a medium error");

    auto* init = app.add_subcommand(
        "init", "Creates the bus folder if needed and sets how its devices share the host");
    double shared_mb_s = 0;
    init->add_option("--shared-bandwidth", shared_mb_s,
                     "MB/S: all devices share this bandwidth (10^6 bytes a second) for their "
                     "data, each still no faster than its own timing model; 0 or absent: each "
                     "device on its own")
        ->check(CLI::Range(0.0, 1e6));

    auto* unplug = app.add_subcommand("unplug", "Unplugs a device (open handles fail)");
    auto* replug = app.add_subcommand("replug", "Unplugs a device and plugs it in again");
    auto* disable = app.add_subcommand(
        "disable",
        "Disables a device as the host's device manager does (absent until enabled); "
        "ID hub: the root hub, and with it every device");
    auto* enable = app.add_subcommand("enable", "Enables a disabled device (it starts afresh)");
    auto* list = app.add_subcommand("list", "Lists the devices, their state and their units");
    auto* inspect = app.add_subcommand("inspect", "Shows a device's state");
    auto* exp = app.add_subcommand("export", "Writes the bytes a host would read from a unit");
    auto* trace = app.add_subcommand("trace", "Prints the commands a device received");
    std::string id, unit, file;
    bool json = false;
    for (auto* sub : {unplug, replug, disable, enable, inspect, exp, trace}) {
        sub->add_option("ID", id, "Device id, as printed by plug")->required();
    }
    list->add_flag("--json", json, "JSON output");
    inspect->add_flag("--json", json, "JSON output");
    exp->add_option("UNIT", unit,
                    "cdrom, disk1, disk2, reserved or flash (disk: a fresh device's disk unit)")
        ->required()
        ->check(CLI::IsMember({"cdrom", "disk1", "disk2", "reserved", "flash", "disk"}));
    exp->add_option("FILE", file, "Output file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    try {
        const std::string dir = bus_folder(bus_option);
        simbus::Bus bus(dir);

        if (plug->parsed()) {
            simbus::PlugOptions o;
            auto& d = o.device;
            const bool controller_only = plug->count("--chips") || plug->count("--fw-rev") ||
                                         password || hw_wp || sw_wp || wp_switch || bad_blocks ||
                                         plug->count("--drop-writes-from") ||
                                         plug->count("--flip-bits") || plug->count("--read-error");
            const bool plain_only = with_cdrom || no_medium || !sectors.empty();
            if (plain && controller_only) {
                throw UsageError{
                    "--chips, --fw-rev, --password, the protection flags and the flash "
                    "faults apply to a controller, not to --plain"};
            }
            if (!plain && plain_only) {
                throw UsageError{"--with-cdrom, --no-medium and --sectors need --plain"};
            }
            if (plain) {
                d.kind = simdev::FreshOptions::Kind::PlainDisk;
                d.vendor = "GENERIC";
                d.product = "USB DISK";
                d.revision = "1.00";
                d.with_cdrom = with_cdrom;
                d.no_medium = no_medium;
                if (!sectors.empty()) {
                    d.plain_sectors = parse_number(sectors, 0x100000000ull, "--sectors");
                    if (d.plain_sectors == 0) throw UsageError{"--sectors: must be at least 1"};
                }
            }
            if (plug->count("--vendor")) d.vendor = vendor;
            if (plug->count("--product")) d.product = product;
            if (plug->count("--rev")) d.revision = rev;
            check_length(d.vendor, 8, "--vendor");
            check_length(d.product, 16, "--product");
            check_length(d.revision, 4, "--rev");
            if (plug->count("--chips")) d.chips = parse_chips(chips);
            if (plug->count("--fw-rev"))
                d.fw_rev = static_cast<uint8_t>(parse_number(fw_rev, 255, "--fw-rev"));
            d.password = password;
            d.hw_write_protect = hw_wp;
            d.sw_write_protect = sw_wp;
            d.wp_switch_on = wp_switch;
            d.bad_blocks = bad_blocks;
            d.usb = !not_usb;
            // Flash sectors as READ(10)/WRITE(10) address them.
            auto sector = [](const std::string& text, const char* option) {
                return static_cast<uint64_t>(parse_number(text, 0xFFFFFFFFu, option));
            };
            if (plug->count("--drop-writes-from"))
                d.faults.drop_writes_from = sector(drop_from, "--drop-writes-from");
            if (plug->count("--flip-bits")) d.faults.flip_bits = sector(flip_bits, "--flip-bits");
            if (plug->count("--read-error"))
                d.faults.read_error = sector(read_error, "--read-error");
            for (const auto& f : fails) o.faults.push_back(parse_fault(f, false, "--fail"));
            for (const auto& f : unplugs) o.faults.push_back(parse_fault(f, true, "--unplug-at"));
            o.timing = timing == "usb2"   ? simbus::Timing::Usb2
                       : timing == "usb1" ? simbus::Timing::Usb1
                                          : simbus::Timing::None;
            const std::string new_id = bus.plug(o);
            if (new_id.empty()) {
                std::cerr << "simbus: could not plug the device into " << dir << "\n";
                return 1;
            }
            std::cout << new_id << "\n";
            return 0;
        }

        if (init->parsed()) {
            const auto bytes_per_s = static_cast<uint64_t>(shared_mb_s * 1e6 + 0.5);
            if (shared_mb_s > 0 && bytes_per_s == 0) {
                throw UsageError{"--shared-bandwidth: too small"};
            }
            if (!bus.set_shared_bandwidth(bytes_per_s)) {
                std::cerr << "simbus: could not set up the bus in " << dir << "\n";
                return 1;
            }
            return 0;
        }

        require_bus(dir);
        if (unplug->parsed() || replug->parsed()) {
            require_device(bus, id);
            const bool ok = unplug->parsed() ? bus.unplug(id) : bus.replug(id);
            if (!ok) {
                std::cerr << "simbus: could not " << (unplug->parsed() ? "unplug " : "replug ")
                          << id << "\n";
                return 1;
            }
            return 0;
        }
        if (disable->parsed() || enable->parsed()) {
            if (id != simbus::Bus::kRootHub) require_device(bus, id);
            if (!bus.set_enabled(id, enable->parsed())) {
                std::cerr << "simbus: could not " << (enable->parsed() ? "enable " : "disable ")
                          << id << " (unplugged?)\n";
                return 1;
            }
            return 0;
        }
        if (list->parsed()) {
            const bool hub_on = bus.enabled(simbus::Bus::kRootHub).value_or(true);
            nlohmann::json all = nlohmann::json::array();
            for (const auto& dev : bus.list()) {
                auto j = bus.inspect(dev);
                if (!j) continue;
                all.push_back({{"id", dev},
                               {"plugged", (*j)["plugged"]},
                               {"enabled", (*j)["enabled"]},
                               {"units", (*j)["units"]}});
            }
            if (json) {
                std::cout << all.dump(2) << "\n";
                return 0;
            }
            if (!hub_on) std::cout << "hub disabled (no device is reachable)\n";
            if (const auto shared = bus.shared()) {
                char rate[32];
                std::snprintf(rate, sizeof rate, "%.3f",
                              static_cast<double>(shared->bytes_per_s) / 1e6);
                std::cout << "shared bus: " << rate << " MB/s, " << shared->bytes_carried
                          << " bytes carried\n";
            }
            for (const auto& dev : all) {
                const bool plugged = dev["plugged"].get<bool>();
                const bool on = dev["enabled"].get<bool>();
                std::cout << dev["id"].get<std::string>() << (plugged ? " plugged" : " unplugged")
                          << (plugged && !on ? " disabled" : "") << "\n";
                if (!plugged || !on) continue;
                for (const auto& u : dev["units"]) {
                    std::cout << "  " << u["name"].get<std::string>() << " "
                              << u["class"].get<std::string>() << " " << u["sectors"].dump()
                              << " sectors " << u["path"].get<std::string>() << "\n";
                }
            }
            return 0;
        }
        require_device(bus, id);
        if (inspect->parsed()) {
            auto j = bus.inspect(id);
            if (!j) {
                std::cerr << "simbus: device " << id << " cannot be read\n";
                return 1;
            }
            if (json) {
                std::cout << j->dump(2) << "\n";
            } else {
                print_json(*j, 0);
            }
            return 0;
        }
        if (exp->parsed()) {
            if (!bus.export_unit(id, unit, file)) {
                std::cerr << "simbus: could not export " << unit << " of " << id
                          << " (no such unit on this device, or " << file
                          << " cannot be written)\n";
                return 1;
            }
            return 0;
        }
        if (trace->parsed()) {
            for (const auto& line : bus.trace(id)) std::cout << line << "\n";
            return 0;
        }
    } catch (const UsageError& e) {
        std::cerr << "simbus: " << e.message << "\n";
        return kExitUsage;
    } catch (const NotFound& e) {
        std::cerr << "simbus: " << e.message << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "simbus: " << e.what() << "\n";
        return 1;
    }
    return 1;
}
