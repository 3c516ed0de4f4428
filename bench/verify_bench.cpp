// What read-back verification adds to a production run: 8 simulated disks
// under the usb2 timing model, a 32 MB loader image, a 1 MB reserve image and
// two partitions. Runs with "Compare Disk" ticked and cleared alternate; the
// figure is the median of the per-pair differences of the run's wall time.
//
// The bound it is set against is the loader bytes divided by the read
// bandwidth the model gives the reads the compare sends (READ(10) of 128
// sectors), measured on a spare device from the model's own account of one
// such read: what a host reading the disk that way gets, command time
// included. Two stricter figures are printed beside it: the model's pipe rate
// alone (the time of a 64 KiB READ(10) over that of a command that moves no
// data), which no READ(10) reaches because every command costs the model's
// fixed time, and the same with the largest READ(10) the library sends (255
// sectors).
//
//   verify_bench [--disks N] [--pairs N] [--loader-mb N]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_files.h"
#include "run/discovery.h"
#include "run/run.h"
#include "simbus/bus.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace fs = std::filesystem;
using namespace galmor;

namespace {

using bench::WriteRecipe;

uint64_t LastDelayUs(const simbus::Bus& bus, const std::string& id) {
    const auto j = bus.inspect(id);
    return j ? (*j)["timing"]["last_delay_us"].get<uint64_t>() : 0;
}

// Summed over the disks: modelled device time, emulator CPU, commands.
struct Busy {
    uint64_t delayUs = 0;
    uint64_t cpuNs = 0;
    uint64_t commands = 0;
};

Busy TotalBusy(const simbus::Bus& bus, const std::vector<std::string>& ids) {
    Busy b;
    for (const auto& id : ids) {
        const auto j = bus.inspect(id);
        if (!j) continue;
        b.delayUs += (*j)["timing"]["total_delay_us"].get<uint64_t>();
        b.cpuNs += j->value("cpu_ns", uint64_t{0});
        b.commands += j->value("commands", uint64_t{0});
    }
    return b;
}

// The usb2 model as a host sees it: the time of a command that moves no
// data and of one 64 KiB READ(10).
struct Model {
    double commandS = 0;
    double read64kS = 0;
    // Reading with 128-sector READ(10)s, command time included.
    double ReadBytesPerSecond() const { return 65536.0 / read64kS; }
    // The data phase alone.
    double PipeBytesPerSecond() const { return 65536.0 / (read64kS - commandS); }
};

bool MeasureModel(const fs::path& root, Model* out) {
    simbus::Bus bus((root / "model-bus").string());
    simbus::PlugOptions o;
    o.timing = simbus::Timing::Usb2;
    const std::string id = bus.plug(o);
    const auto paths = bus.interface_paths(simdev::UnitClass::Disk);
    if (id.empty() || paths.empty()) return false;
    const int fd = bus.open(paths[0]);
    if (fd <= 0) return false;
    const uint8_t tur[6] = {0x00, 0, 0, 0, 0, 0};
    const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 128, 0};
    std::vector<uint8_t> buf(65536);
    bool ok = bus.execute(fd, tur, sizeof tur, simdev::Direction::None, nullptr, 0, 30).delivered;
    out->commandS = static_cast<double>(LastDelayUs(bus, id)) * 1e-6;
    ok = ok && bus.execute(fd, read10, sizeof read10, simdev::Direction::In, buf.data(),
                           static_cast<uint32_t>(buf.size()), 30)
                       .status == simdev::kStatusGood;
    out->read64kS = static_cast<double>(LastDelayUs(bus, id)) * 1e-6;
    ::close(fd);
    return ok && out->read64kS > out->commandS;
}

struct Result {
    double wall = 0;          // seconds from Start to the verdict
    double deviceBusyS = 0;   // modelled device time, summed over the disks
    double emulatorCpuS = 0;  // the emulator's CPU, summed over the disks
    double commands = 0;      // commands the disks received
    std::string banner;
};

bool RunOnce(int disks, bool compare, size_t loaderBytes, const fs::path& scratch, Result* out) {
    const fs::path root = scratch / (compare ? "on" : "off");
    fs::remove_all(root);
    fs::create_directories(root / "bus");
    fs::create_directories(root / "sarnik");
    setenv("SARNIK_SIM_BUS", (root / "bus").c_str(), 1);
    setenv("SARNIK_ROOT", (root / "sarnik").c_str(), 1);
    WriteRecipe(root / "home", loaderBytes);

    simbus::Bus bus((root / "bus").string());
    std::vector<std::string> ids;
    for (int i = 0; i < disks; ++i) {
        simbus::PlugOptions o;
        o.timing = simbus::Timing::Usb2;
        ids.push_back(bus.plug(o));
    }

    auto st = std::make_unique<Station>();
    std::string error;
    if (!st->lib.Load(&error)) {
        std::cerr << "verify_bench: " << error << "\n";
        return false;
    }
    st->HomeDir = (root / "home").string();
    if (!ShowProductSettings(*st)) {
        std::cerr << "verify_bench: the recipe was rejected\n";
        return false;
    }
    PollingDiskStatus(*st, true);
    if (st->DiskCount.load() != disks || !st->model.Get1("GoCmd").enabled) {
        std::cerr << "verify_bench: found " << st->DiskCount.load() << " disks of " << disks
                  << "\n";
        return false;
    }
    st->model.SetChecked("CheckCompare", -1, compare);

    const Busy busy0 = TotalBusy(bus, ids);
    const auto t0 = std::chrono::steady_clock::now();
    GoCmd_Click(*st);
    WaitForWorkers(*st);
    const auto t1 = std::chrono::steady_clock::now();

    out->wall = std::chrono::duration<double>(t1 - t0).count();
    const Busy busy1 = TotalBusy(bus, ids);
    out->deviceBusyS = static_cast<double>(busy1.delayUs - busy0.delayUs) * 1e-6;
    out->emulatorCpuS = static_cast<double>(busy1.cpuNs - busy0.cpuNs) * 1e-9;
    out->commands = static_cast<double>(busy1.commands - busy0.commands);
    out->banner = st->model.Get1("PassLab").caption;

    for (auto& p : st->ports) {
        Sarnik::CloseHandle(p.Handle);
        p.Handle = 0;
    }
    StopStationWorkers(*st);
    st.reset();
    fs::remove_all(root);
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

}  // namespace

int main(int argc, char** argv) {
    int disks = 8, pairs = 3, loaderMb = 32;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--disks" && i + 1 < argc) {
            disks = std::clamp(std::atoi(argv[++i]), 1, kMaxRunPorts);
        } else if (a == "--pairs" && i + 1 < argc) {
            pairs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--loader-mb" && i + 1 < argc) {
            loaderMb = std::clamp(std::atoi(argv[++i]), 1, 256);
        } else {
            std::cerr << "usage: verify_bench [--disks N] [--pairs N] [--loader-mb N]\n";
            return 2;
        }
    }
    const size_t loaderBytes = static_cast<size_t>(loaderMb) << 20;

    const fs::path scratch =
        fs::temp_directory_path() / ("verify_bench-" + std::to_string(getpid()));
    fs::create_directories(scratch);

    Model model;
    if (!MeasureModel(scratch, &model)) {
        std::cerr << "verify_bench: the timing model could not be measured\n";
        fs::remove_all(scratch);
        return 1;
    }

    std::vector<double> added, busyAdded, wallOn, wallOff, cpuPerCommand;
    int rc = 0;
    for (int k = 0; k < pairs && rc == 0; ++k) {
        Result on, off;
        // Alternate the order so that a drift in the machine's load favours neither.
        const bool onFirst = k % 2 == 0;
        for (const bool compare : {onFirst, !onFirst}) {
            if (!RunOnce(disks, compare, loaderBytes, scratch, compare ? &on : &off)) rc = 1;
        }
        if (rc) break;
        if (on.banner != "! ALL PASS !" || off.banner != "! ALL PASS !") {
            std::cerr << "verify_bench: a run did not pass (" << on.banner << " / " << off.banner
                      << ")\n";
            rc = 1;
            break;
        }
        added.push_back(on.wall - off.wall);
        busyAdded.push_back((on.deviceBusyS - off.deviceBusyS) / disks);
        wallOn.push_back(on.wall);
        wallOff.push_back(off.wall);
        cpuPerCommand.push_back(on.emulatorCpuS / std::max(1.0, on.commands));
    }
    fs::remove_all(scratch);
    if (rc) return rc;

    const double chunks = static_cast<double>(loaderBytes) / 65536.0;
    const double bound = static_cast<double>(loaderBytes) / model.ReadBytesPerSecond();
    const double boundPipe = static_cast<double>(loaderBytes) / model.PipeBytesPerSecond();
    // The largest READ(10) the library sends is 255 sectors: the least
    // command time any chunking could reach under the model.
    const double sectors = static_cast<double>(loaderBytes) / 512.0;
    const double boundLargest = std::ceil(sectors / 255.0) * model.commandS + boundPipe;
    const double add = Median(added);
    std::printf(
        "read-back verification, %d disks, usb2 timing, %d MB loader (%.0f chunks of 64 KiB),"
        " 1 MB reserve, 2 partitions; %d interleaved pairs of runs\n",
        disks, loaderMb, chunks, pairs);
    std::printf(
        "model: %.3f ms per command, %.3f ms per 64 KiB READ(10); read bandwidth with 128-sector"
        " READ(10)s %.2f MB/s (pipe rate without the command time %.2f MB/s)\n",
        model.commandS * 1e3, model.read64kS * 1e3, model.ReadBytesPerSecond() / 1e6,
        model.PipeBytesPerSecond() / 1e6);
    std::printf("run wall, compare off / on (median): %.3f s / %.3f s\n", Median(wallOff),
                Median(wallOn));
    std::printf("added by verification (median of pairs): %.3f s; pairs:", add);
    for (const double a : added) std::printf(" %.3f", a);
    std::printf("\n");
    std::printf("modelled device time added per disk:   %.3f s\n", Median(busyAdded));
    std::printf("bound, loader bytes / read bandwidth:  %.3f s  -> added / bound = %.3f\n", bound,
                add / bound);
    std::printf("stricter, loader bytes / pipe rate:    %.3f s  -> added / that = %.3f\n",
                boundPipe, add / boundPipe);
    std::printf("stricter, 255-sector READs:            %.3f s  -> added / that = %.3f\n",
                boundLargest, add / boundLargest);
    std::printf("emulator CPU per command (run with compare): %.0f us\n",
                Median(cpuPerCommand) * 1e6);
    return 0;
}
