// A station driving the real command library on a fresh simulated bus.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "testbus.h"
#include "ui/grid.h"
#include "ui/station.h"

namespace galmor::testing {

class StationOnBus : public ::testing::Test {
  protected:
    StationOnBus() {
        std::string error;
        if (!st.lib.Load(&error)) throw std::runtime_error(error);
        BuildPortIndicators(st, kGridRows - 1);  // rows 0 to 7, as at start-up
    }
    ~StationOnBus() override {
        for (auto& p : st.ports) {
            Sarnik::CloseHandle(p.Handle);
            p.Handle = 0;
        }
    }

    std::string Plug(const simbus::PlugOptions& o = {}) { return bus.Plug(o); }
    static simbus::PlugOptions With(simdev::FreshOptions d, std::vector<simbus::Fault> f = {}) {
        simbus::PlugOptions o;
        o.device = d;
        o.faults = std::move(f);
        return o;
    }

    // Opens disk unit `index` as 1-based port `port`, the way discovery would.
    int32_t Attach(int port, int index) {
        const int32_t h = st.lib.GetDiskHandle(index);
        EXPECT_NE(h, 0) << "no disk unit at index " << index;
        st.ports[port - 1].Handle = h;
        return h;
    }

    // The device's trace lines, upper-case.
    std::vector<std::string> Trace(const std::string& id) const {
        std::vector<std::string> lines = bus.Trace(id);
        for (auto& l : lines) {
            for (auto& c : l) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return lines;
    }

    // Opcodes of the vendor commands a device received, in order.
    std::vector<int> VendorOps(const std::string& id) const {
        static const std::set<int> standard = {0x00, 0x03, 0x12, 0x1A, 0x1B, 0x25, 0x28, 0x2A};
        std::vector<int> out;
        for (int op : bus.Opcodes(id)) {
            if (!standard.count(op)) out.push_back(op);
        }
        return out;
    }

    // The stored configuration block, read with a separate handle.
    std::array<uint8_t, kSector> StoredConfig(int index) {
        std::array<uint8_t, kSector> b{};
        const int32_t h = st.lib.GetDiskHandle(index);
        EXPECT_EQ(st.lib.VendorR(h, 0x82, b.data()), 1);
        Sarnik::CloseHandle(h);
        return b;
    }

    Control Label(const std::string& name, int row) const { return st.model.Get(name, row); }
    // The job of 1-based port `port`.
    PortJob Job(int port) { return st.Job(static_cast<int16_t>(port)); }

    testbus::TestBus bus;
    Station st;
};

// Open file descriptors of this process.
inline int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace galmor::testing
