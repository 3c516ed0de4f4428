// A station started as the program starts it (recipe from Product.ini, grid,
// first discovery) on a simulated bus, for the run and operator-control tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "run/discovery.h"
#include "run/run.h"
#include "testbus.h"
#include "ui/grid.h"
#include "ui/headless.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace runrig {

using namespace galmor;
using namespace std::chrono_literals;

constexpr uint8_t kSmallChip = 0x73;  // 16 MB, 1,024 blocks

// Items of the "Setting" frame.
struct Items {
    bool format = false, manufacture = false, checkConfig = false, checkWp = false;
};

inline simbus::PlugOptions Small(std::vector<simbus::Fault> faults = {}) {
    simbus::PlugOptions o;
    o.device.chips = {kSmallChip};
    o.faults = std::move(faults);
    return o;
}

// Writes a recipe folder: Product.ini with one partition, a 64 KiB loader
// image and a 1,000-byte reserve image.
inline void WriteRecipe(const std::string& home) {
    const std::string files = home + "/files/";
    testbus::WriteFile(files + "7301.img", std::string(128 * 512, 'L'));
    testbus::WriteFile(files + "Reserve.img", std::string(1000, 'R'));
    testbus::WriteFile(home + "/Product.ini",
                       "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
                       "[USB MANUFACTURE STRING]\r\nKorva\r\n"
                       "[USB PRODUCT STRING]\r\nFlash Disk\r\n"
                       "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n"
                       "[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
                       "[PARTITION STATUS]\r\nParNum=1\r\n1st=1\r\n"
                       "[DISK LABEL]\r\nPRODUCT\r\n"
                       "[DISK CAPACITY]\r\nSize=16\r\n"
                       "[7301 Compare Disk Flag]\r\nTrue\r\n"
                       "[Serial Number]\r\nAB123456\r\n"
                       "[7301 Files Directory]\r\n" +
                           files + "\r\n");
}

class Rig {
  public:
    Rig() {
        home = tb.root() + "/home";
        WriteRecipe(home);
    }
    ~Rig() {
        StopStationWorkers(st);
        for (auto& p : st.ports) {
            Sarnik::CloseHandle(p.Handle);
            p.Handle = 0;
        }
    }

    std::string Plug(const simbus::PlugOptions& o = Small()) {
        ids.push_back(tb.Plug(o));
        return ids.back();
    }

    // Start-up as the program does it: library, recipe, grid, discovery.
    void StartUp() {
        std::string error;
        ASSERT_TRUE(st.lib.Load(&error)) << error;
        st.HomeDir = home;
        ASSERT_TRUE(ShowProductSettings(st));
        PollingDiskStatus(st, true);
    }

    // A clock that moves 50 ms per reading: a 1-second pause takes about 20
    // of the pause's 5 ms turns instead of a second.
    void FastClock() {
        st.TimeOfDay = [this] { return 1000.0 + 0.05 * static_cast<double>(ticks_++); };
    }

    void SetItems(const Items& i) {
        st.model.SetChecked("Check1", 0, i.format);
        st.model.SetChecked("Check1", 1, i.manufacture);
        st.model.SetChecked("Check1", 3, i.checkConfig);
        st.model.SetChecked("Check1", 4, i.checkWp);
    }

    // Waits until the run has shown its result (or `limit` has passed), then
    // for its workers to return. False when the run did not end in time.
    bool WaitRunEnd(std::chrono::seconds limit = 60s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (st.RunInProgress && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(5ms);  // polls the run's own flag
        }
        if (st.RunInProgress) return false;
        WaitForWorkers(st);
        return true;
    }

    std::string Caption(const char* name, int row = -1) const {
        return st.model.Get(name, row).caption;
    }
    bool Visible(const char* name, int row = -1) const { return st.model.Get(name, row).visible; }
    bool Enabled(const char* name, int row = -1) const { return st.model.Get(name, row).enabled; }
    int Status(int row) const { return st.ports[static_cast<size_t>(row)].ErrorStatus.load(); }
    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> out;
        for (const auto& m : st.model.Messages()) out.push_back(m.text);
        return out;
    }
    // Opcodes of the commands device `i` received.
    std::vector<int> Ops(size_t i) const { return tb.Opcodes(ids.at(i)); }
    int Count(size_t i, int op) const {
        int n = 0;
        for (int o : Ops(i)) n += o == op ? 1 : 0;
        return n;
    }

    testbus::TestBus tb;  // first: sets the environment the library reads
    Station st;
    std::string home;
    std::vector<std::string> ids;

  private:
    std::atomic<uint64_t> ticks_{0};
};

// Runs a program; returns its exit status, its standard output in `out`.
inline int RunProgram(const std::string& cmd, std::string* out) {
    return testproc::Run(cmd, out);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace runrig
