// Helpers for the simulated-bus tests: a scratch bus folder and SCSI commands.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simbus/bus.h"

namespace simtest {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "simbus-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class BusTest : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string bus_dir = tmp.path() + "/bus";
    simbus::Bus bus{bus_dir};

    static simbus::PlugOptions Plain(uint64_t sectors = 4096, bool cdrom = false) {
        simbus::PlugOptions o;
        o.device.kind = simdev::FreshOptions::Kind::PlainDisk;
        o.device.vendor = "ACME";
        o.device.product = "Plain Disk";
        o.device.revision = "1.00";
        o.device.plain_sectors = sectors;
        o.device.with_cdrom = cdrom;
        return o;
    }

    // Opens the index-th present unit of a class (-1 when absent).
    int Open(simdev::UnitClass cls, size_t index) const {
        const auto paths = bus.interface_paths(cls);
        return index < paths.size() ? bus.open(paths[index]) : -1;
    }

    std::string DeviceDir(const std::string& id) const { return bus_dir + "/" + id; }
};

inline std::vector<uint8_t> Cdb10(uint8_t op, uint32_t lba = 0, uint8_t count = 0) {
    return {op,    0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
            count, 0};
}

inline simbus::Outcome Exec(const simbus::Bus& bus, int fd, const std::vector<uint8_t>& cdb,
                            simdev::Direction dir, uint8_t* data, uint32_t length,
                            uint32_t timeout_s = 30) {
    return bus.execute(fd, cdb.data(), cdb.size(), dir, data, length, timeout_s);
}

inline simbus::Outcome Read10(const simbus::Bus& bus, int fd, uint32_t lba, uint8_t count,
                              std::vector<uint8_t>& out) {
    out.assign(size_t{count} * 512, 0xEE);
    return Exec(bus, fd, Cdb10(0x28, lba, count), simdev::Direction::In, out.data(),
                static_cast<uint32_t>(out.size()));
}

inline simbus::Outcome Write10(const simbus::Bus& bus, int fd, uint32_t lba,
                               std::vector<uint8_t> data) {
    return Exec(bus, fd, Cdb10(0x2A, lba, uint8_t(data.size() / 512)), simdev::Direction::Out,
                data.data(), static_cast<uint32_t>(data.size()));
}

inline simbus::Outcome TestUnitReady(const simbus::Bus& bus, int fd) {
    return Exec(bus, fd, Cdb10(0x00), simdev::Direction::In, nullptr, 0);
}

// Sectors filled with a pattern that differs per sector and per seed.
inline std::vector<uint8_t> Pattern(size_t sectors, uint32_t seed) {
    std::vector<uint8_t> v(sectors * 512);
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t((i * 31 + seed * 7 + i / 512) ^ seed);
    return v;
}

inline bool Good(const simbus::Outcome& o) {
    return o.delivered && o.status == simdev::kStatusGood;
}

inline bool Check(const simbus::Outcome& o) {
    return o.delivered && o.status == simdev::kStatusCheckCondition;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace simtest

namespace simtest {

// Runs the built simbus program. `env` entries (NAME=VALUE) are set for it;
// SARNIK_SIM_BUS is unset unless given there.
struct ToolResult {
    int code = -1;
    std::string out, err;
};

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline ToolResult RunTool(const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}) {
    static TempDir scratch;
    const std::string err_file = scratch.path() + "/stderr";
    std::string cmd = "env -u SARNIK_SIM_BUS";
    for (const auto& e : env) cmd += " " + ShellQuote(e);
    cmd += " " + ShellQuote(std::string(UFD_BIN_DIR) + "/simbus");
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    cmd += " 2>" + ShellQuote(err_file);
    ToolResult r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadFile(err_file);
    return r;
}

}  // namespace simtest
