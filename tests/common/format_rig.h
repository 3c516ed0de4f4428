// A station on a simulated bus for format tests: the real command library,
// devices plugged with chosen chips and faults, a recipe filled in directly,
// and the device trace decoded into commands.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media/format_internal.h"
#include "media/media.h"
#include "process.h"
#include "testbus.h"
#include "ui/grid.h"
#include "ui/station.h"

namespace rig {

using namespace galmor;

// Deterministic bytes that differ from sector to sector.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

struct Recipe {
    std::vector<uint8_t> loader = Pattern(2048 * 512, 1);  // loader image file
    std::vector<uint8_t> reserve = Pattern(1000, 2);       // reserve image file
    int32_t secondReserved = 0;
    double share = 1.0;
    std::string label = "PRODUCT";
    bool noLoader = false;
    bool noRomeable = false;
    bool oneMeg = false;
};

// Fills the settings as the recipe loader does from "Product.ini" and the
// image files, which are written to `folder` and opened as the loader opens
// them.
inline void Apply(Station& st, const Recipe& r, const std::string& folder) {
    ProductSettings& s = st.settings;
    auto image = [&](const std::string& name, const std::vector<uint8_t>& bytes, ImageFile& out,
                     std::string& path) {
        path = folder + "/" + name;
        testbus::WriteFile(path, std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(ImageFile::Open(path, out), ImageFile::OpenResult::Ok) << path;
    };
    image("7301.img", r.loader, s.LoaderImage, s.LoaderImagePath);
    image(r.noLoader ? "Dump7306.img" : "Reserve.img", r.reserve, s.ReserveImage,
          s.ReserveImagePath);
    s.LoaderImageSectors = static_cast<int32_t>(LoaderSectorsFor(r.loader.size()));
    s.ReserveImageSectors = static_cast<int32_t>(ReserveSectorsFor(r.reserve.size()));
    s.SecondReservedSectors = r.secondReserved;
    s.TotalReservedSectors = s.ReserveImageSectors + r.secondReserved;
    s.FirstPartitionShare = r.share;
    s.SecondPartitionShare = 1.0 - r.share;
    s.DiskLabel = r.label;
    s.bNoLoaderDisk = r.noLoader;
    s.bNoRomeableDisk = r.noRomeable;
    s.OneMegReserved = r.oneMeg;
}

// One command from the device trace.
struct Cmd {
    std::vector<uint8_t> cdb;
    std::string dir;
    uint32_t length = 0;
    std::string outcome;
    int op() const { return cdb.empty() ? -1 : cdb[0]; }
    // READ(10)/WRITE(10) address and count.
    uint32_t lba() const {
        return (uint32_t{cdb[2]} << 24) | (uint32_t{cdb[3]} << 16) | (uint32_t{cdb[4]} << 8) |
               cdb[5];
    }
    uint32_t count() const { return (uint32_t{cdb[7]} << 8) | cdb[8]; }
    // Reserved-area write offset and count.
    uint32_t reservedOffset() const { return lba(); }
    uint32_t reservedCount() const { return cdb[8]; }
};

inline std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    const auto e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

inline std::vector<Cmd> Commands(const testbus::TestBus& tb, const std::string& id) {
    std::vector<Cmd> out;
    for (const std::string& line : tb.Trace(id)) {
        std::vector<std::string> parts;
        std::stringstream ss(line);
        std::string part;
        while (std::getline(ss, part, '|')) parts.push_back(Trim(part));
        if (parts.size() < 4) continue;
        Cmd c;
        std::stringstream hex(parts[0]);
        std::string byte;
        while (hex >> byte) c.cdb.push_back(static_cast<uint8_t>(std::stoi(byte, nullptr, 16)));
        c.dir = parts[1];
        c.length = static_cast<uint32_t>(std::stoul(parts[2]));
        c.outcome = parts[3];
        out.push_back(c);
    }
    return out;
}

inline std::vector<int> Ops(const std::vector<Cmd>& cmds) {
    std::vector<int> ops;
    for (const Cmd& c : cmds) ops.push_back(c.op());
    return ops;
}

inline std::vector<Cmd> Only(const std::vector<Cmd>& cmds, int op) {
    std::vector<Cmd> out;
    for (const Cmd& c : cmds) {
        if (c.op() == op) out.push_back(c);
    }
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Runs a shell command; returns its exit status and its output (stdout and
// stderr together).
inline int Shell(const std::string& cmd, std::string* output) {
    return testproc::Run(cmd, output, true);
}

class FormatRig {
  public:
    FormatRig() {
        std::string error;
        loaded_ = st.lib.Load(&error);
        EXPECT_TRUE(loaded_) << error;
        BuildBootSectorTemplate(st.BootSectorTemplate);
        BuildPortIndicators(st, kGridRows - 1);
    }
    ~FormatRig() {
        for (auto& p : st.ports) {
            Sarnik::CloseHandle(p.Handle);
            p.Handle = 0;
        }
    }

    // Plugs a device with the given chips and options and opens its disk
    // unit as the next port. Returns the port's slot.
    int16_t Add(simbus::PlugOptions opts = {}) {
        const std::string id = tb.Plug(opts);
        EXPECT_FALSE(id.empty());
        ids.push_back(id);
        const int16_t slot = static_cast<int16_t>(ids.size());
        PortRecord& port = st.ports[slot - 1];
        port.Handle = st.lib.GetDiskHandle(slot - 1);
        EXPECT_GT(port.Handle, 0);
        st.DiskCount = slot;
        return slot;
    }
    int16_t Add(std::vector<uint8_t> chips) {
        simbus::PlugOptions o;
        o.device.chips = std::move(chips);
        return Add(o);
    }

    std::vector<Cmd> Trace(int16_t slot) const { return Commands(tb, ids[slot - 1]); }
    int Status(int16_t slot) const { return st.ports[slot - 1].ErrorStatus.load(); }
    // The job of a port, as a run gives it to the port's steps.
    PortJob Job(int16_t slot) { return st.Job(slot); }
    // The values the last format of a port worked with.
    const PortRunValues& Values(int16_t slot) const { return st.run.ports[slot - 1]; }
    std::string Mark(int16_t slot) const { return st.model.Get("FG", slot - 1).caption; }
    std::string Text(int16_t slot) const { return st.model.Get("FR", slot - 1).caption; }

    // Formats the slots at the same time, one thread each.
    void FormatAll(const std::vector<int16_t>& slots) {
        std::vector<std::thread> threads;
        for (int16_t s : slots) threads.emplace_back([this, s] { Format7301(st.Job(s)); });
        for (auto& t : threads) t.join();
    }

    // The bytes of a unit of the device ("cdrom", "disk1", "disk2", "reserved").
    std::string Export(int16_t slot, const std::string& unit) {
        const std::string file = tb.root() + "/" + ids[slot - 1] + "-" + unit + ".img";
        EXPECT_TRUE(tb.bus().export_unit(ids[slot - 1], unit, file)) << unit;
        return file;
    }

    testbus::TestBus tb;  // first: sets the environment the library reads
    Station st;
    std::vector<std::string> ids;

  private:
    bool loaded_ = false;
};

// The recipe with its image files in the rig's bus folder.
inline void Apply(FormatRig& r, const Recipe& recipe) {
    Apply(r.st, recipe, r.tb.root() + "/files");
}

}  // namespace rig
