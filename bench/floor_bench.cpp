// The production floor: one operator keeps 8 sockets of one station busy
// through a lot of disks, once in batches and once rolling, on the same
// simulated bus and the same lot. It prints, for each mode, the lot's wall
// time, the good disks per hour, and the shares of the time that the operator
// and the sockets stood idle, and then the ratio rolling / batch of the good
// disks per hour.
//
// The lot: 48 disks of mixed capacities (256 MB, 512 MB, 1 GB), about 5 % of
// them with a fault of the simulated bus (a failing write, a sector that
// cannot be read, a flipped bit, writes that are not kept), chosen from a
// seed; 8 sockets on one USB 2.0 bus whose host controller carries 35 MB/s
// for all of them; a 32 MB loader image; the low-level format before the test
// items; Format, Manufacture and Check Config with Compare Disk.
//
// The operator: a finished disk is swapped after a reaction time R (from the
// moment its verdict shows) and a handling time S (pull, seat the next one),
// one disk at a time. In batch mode the operator waits for the banner, swaps
// every disk in turn and presses Low level Format and, once it is complete,
// Start (both presses cost no time). In rolling mode the operator swaps each
// disk as it finishes; a disk that finishes while the operator is busy waits.
// --time-scale multiplies R and S (the station and the bus run in real time)
// to shorten a long run; both modes always use the same scale.
//
// Idle shares: the operator is busy while handling a disk (S); a socket is
// busy from the moment its disk's job starts until its verdict shows.
//
//   floor_bench [--reaction S] [--handling S] [--time-scale X] [--disks N]
//               [--fault-rate F] [--seed N] [--shared-bandwidth MB/S]
//               [--loader-mb N] [--mode both|batch|rolling]
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_files.h"
#include "core/monitor_link.h"
#include "run/discovery.h"
#include "run/rolling.h"
#include "run/run.h"
#include "simbus/bus.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace fs = std::filesystem;
using namespace galmor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSockets = 8;
constexpr uint8_t kWrite10 = 0x2A;

struct Params {
    double reactionS = 2.0;
    double handlingS = 3.0;
    double timeScale = 1.0;
    int disks = 48;
    double faultRate = 0.05;
    uint32_t seed = 7301;
    double sharedMbPerS = 35.0;
    int loaderMb = 32;
    bool batch = true;
    bool rolling = true;
};

// One disk of the lot: its flash chips and the fault it carries, if any.
struct DiskSpec {
    std::vector<uint8_t> chips;
    std::vector<simbus::Fault> faults;
    simdev::FlashFaults flash;
    std::string fault;  // what is wrong with it; empty for a good disk
};

std::vector<DiskSpec> MakeLot(const Params& p) {
    std::mt19937 rng(p.seed);
    const std::vector<std::vector<uint8_t>> capacities = {{0xDA}, {0xDC}, {0xDC, 0xDC}};
    std::vector<DiskSpec> lot(static_cast<size_t>(p.disks));
    for (auto& d : lot) {
        d.chips = capacities[std::uniform_int_distribution<size_t>(0, capacities.size() - 1)(rng)];
    }
    const auto faulty = static_cast<size_t>(std::lround(p.faultRate * p.disks));
    std::vector<size_t> order(lot.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    // Every fault lands inside the loader disk, which every disk writes and
    // reads back.
    const uint64_t loaderSectors = static_cast<uint64_t>(p.loaderMb) * 2048;
    std::uniform_int_distribution<uint64_t> sector(0, loaderSectors - 1);
    for (size_t k = 0; k < std::min(faulty, lot.size()); ++k) {
        DiskSpec& d = lot[order[k]];
        switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
            case 0: {
                const auto nth = std::uniform_int_distribution<uint32_t>(1, 200)(rng);
                d.faults.push_back({kWrite10, nth, false});
                d.fault = "write " + std::to_string(nth) + " fails";
                break;
            }
            case 1:
                d.flash.read_error = sector(rng);
                d.fault = "sector " + std::to_string(*d.flash.read_error) + " unreadable";
                break;
            case 2:
                d.flash.flip_bits = sector(rng);
                d.fault = "sector " + std::to_string(*d.flash.flip_bits) + " flips a bit";
                break;
            default:
                d.flash.drop_writes_from = sector(rng);
                d.fault =
                    "writes from sector " + std::to_string(*d.flash.drop_writes_from) + " are lost";
                break;
        }
    }
    return lot;
}

void WriteRecipe(const fs::path& home, int loaderMb) {
    bench::WriteRecipe(home, static_cast<size_t>(loaderMb) << 20, "FLOOR", 256, "FLR");
}

double Since(Clock::time_point t0, Clock::time_point t) {
    return std::chrono::duration<double>(t - t0).count();
}

// What one mode came to.
struct FloorResult {
    double wall = 0;  // seconds from the first start to the last verdict
    int passed = 0;
    int failed = 0;
    double operatorBusy = 0;              // seconds of handling
    double socketBusy = 0;                // socket-seconds of jobs
    std::vector<std::string> unexpected;  // disks whose verdict the lot did not foresee
};

// The floor of one mode: the bus, the station, the lot and the sockets.
class Floor {
  public:
    Floor(const Params& p, const std::vector<DiskSpec>& lot, const fs::path& root)
        : p_(p), lot_(lot), root_(root), bus_((root / "bus").string()) {}

    bool Open() {
        fs::create_directories(root_ / "sarnik");
        setenv("SARNIK_SIM_BUS", (root_ / "bus").c_str(), 1);
        setenv("SARNIK_ROOT", (root_ / "sarnik").c_str(), 1);
        WriteRecipe(root_ / "home", p_.loaderMb);
        const auto bytesPerS = static_cast<uint64_t>(p_.sharedMbPerS * 1e6 + 0.5);
        if (!bus_.set_shared_bandwidth(bytesPerS)) {
            std::cerr << "floor_bench: cannot share the bus\n";
            return false;
        }
        st_ = std::make_unique<Station>();
        std::string error;
        if (!st_->lib.Load(&error)) {
            std::cerr << "floor_bench: " << error << "\n";
            return false;
        }
        st_->HomeDir = (root_ / "home").string();
        if (!ShowProductSettings(*st_)) {
            std::cerr << "floor_bench: the recipe was rejected:";
            for (const auto& m : st_->model.Messages()) std::cerr << " " << m.text;
            std::cerr << "\n";
            return false;
        }
        // When each row's job last cleared its step: the end of its work.
        listener_ = st_->model.Subscribe([this](const Change& c) {
            if (c.kind != ChangeKind::Control || c.name != "StepLab" || c.index < 0 ||
                c.index >= kSockets) {
                return;
            }
            std::lock_guard<std::mutex> lock(mu_);
            if (c.control.caption.empty())
                stepCleared_[static_cast<size_t>(c.index)] = Clock::now();
        });
        return true;
    }

    void Close() {
        if (!st_) return;
        if (listener_ != 0) st_->model.Unsubscribe(listener_);
        listener_ = 0;
        StopStationWorkers(*st_);
        for (auto& port : st_->ports) {
            Sarnik::CloseHandle(port.Handle);
            port.Handle = 0;
        }
        st_.reset();
    }

    ~Floor() { Close(); }

    // Seats the lot's next disk in a socket; false when the lot is used up.
    bool Seat(int socket) {
        if (next_ >= lot_.size()) return false;
        const DiskSpec& d = lot_[next_];
        simbus::PlugOptions o;
        o.timing = simbus::Timing::Usb2;
        o.device.chips = d.chips;
        o.device.faults = d.flash;
        o.faults = d.faults;
        seated_[static_cast<size_t>(socket)] = {bus_.plug(o), next_};
        ++next_;
        return true;
    }
    void Pull(int socket) {
        auto& s = seated_[static_cast<size_t>(socket)];
        if (s.id.empty()) return;
        bus_.unplug(s.id);
        s = {};
    }
    bool LotLeft() const { return next_ < lot_.size(); }
    size_t LotSize() const { return lot_.size(); }
    // Lot index of the disk in a socket.
    size_t DiskIn(int socket) const { return seated_[static_cast<size_t>(socket)].disk; }
    // The socket whose disk hangs at this USB port of the bus ("1-" and the
    // device's number), or -1.
    int SocketAt(const std::string& usbPort) const {
        for (int k = 0; k < kSockets; ++k) {
            const std::string& id = seated_[static_cast<size_t>(k)].id;
            if (!id.empty() && usbPort == "1-" + std::to_string(std::stoul(id.substr(1)))) return k;
        }
        return -1;
    }
    Station& St() { return *st_; }

    void NoteVerdict(size_t disk, bool passed, FloorResult* r) const {
        (passed ? r->passed : r->failed)++;
        const bool expectPass = lot_[disk].fault.empty();
        if (passed != expectPass) {
            r->unexpected.push_back(
                "disk " + std::to_string(disk + 1) + (passed ? " passed" : " failed") +
                (lot_[disk].fault.empty() ? "" : " (" + lot_[disk].fault + ")"));
        }
    }
    std::optional<Clock::time_point> StepCleared(int row) {
        std::lock_guard<std::mutex> lock(mu_);
        return stepCleared_[static_cast<size_t>(row)];
    }
    void ForgetSteps() {
        std::lock_guard<std::mutex> lock(mu_);
        stepCleared_.fill(std::nullopt);
    }

  private:
    struct Seated {
        std::string id;
        size_t disk = 0;
    };
    const Params& p_;
    const std::vector<DiskSpec>& lot_;
    fs::path root_;
    simbus::Bus bus_;
    std::unique_ptr<Station> st_;
    int listener_ = 0;
    size_t next_ = 0;
    std::array<Seated, kSockets> seated_{};
    std::mutex mu_;
    std::array<std::optional<Clock::time_point>, kSockets> stepCleared_{};
};

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Batches: Low level Format and Start on a full set of sockets, the banner,
// then the operator swaps every disk in turn.
bool RunBatch(const Params& p, Floor& floor, FloorResult* r) {
    Station& st = floor.St();
    const double R = p.reactionS * p.timeScale;
    const double S = p.handlingS * p.timeScale;
    for (int s = 0; s < kSockets; ++s) floor.Seat(s);
    PollingDiskStatus(st, true);
    const auto t0 = Clock::now();
    for (;;) {
        const int disks = st.DiskCount.load();
        if (disks == 0) {
            std::cerr << "floor_bench: no disk found for a batch\n";
            return false;
        }
        const auto start = Clock::now();
        floor.ForgetSteps();
        cmdLowFor_Click(st);
        WaitForWorkers(st);
        if (!st.LowFormatComplete()) {
            std::cerr << "floor_bench: the low-level format did not complete\n";
            return false;
        }
        GoCmd_Click(st);
        WaitForWorkers(st);
        const auto verdict = Clock::now();
        const RunOutcome out = st.Outcome();
        if (!out.ended) {
            std::cerr << "floor_bench: a batch ended without a verdict\n";
            return false;
        }
        // Rows follow the bus's enumeration, which is the order the disks
        // were seated in: row k holds the k-th socket's disk.
        for (const PortOutcome& port : out.ports) {
            if (!port.served || port.index >= kSockets) continue;
            floor.NoteVerdict(floor.DiskIn(port.index), port.status == 0, r);
            const auto end = floor.StepCleared(port.index).value_or(verdict);
            r->socketBusy += Since(start, std::min(end, verdict));
        }
        if (!floor.LotLeft()) {
            r->wall = Since(t0, verdict);
            return true;
        }
        // The operator sees the banner after R and swaps the disks one by
        // one; the station's discovery runs beside the operator's hands.
        const auto first = verdict + Seconds(R);
        for (int s = 0; s < kSockets; ++s) {
            std::this_thread::sleep_until(first + Seconds(S * s));
            floor.Pull(s);
            std::this_thread::sleep_until(first + Seconds(S * (s + 1)));
            floor.Seat(s);
            r->operatorBusy += S;
            PollingDiskStatus(st, false);
        }
    }
}

// Rolling: every socket runs its disk as soon as it is seated; the operator
// swaps finished disks one at a time, in the order their verdicts showed.
// The bench is the window's thread: it ticks the station every 50 ms as the
// polling timer does, and the bus's notices reach it as the monitor's would.
bool RunRolling(const Params& p, Floor& floor, FloorResult* r) {
    Station& st = floor.St();
    const auto R = Seconds(p.reactionS * p.timeScale);
    const auto S = Seconds(p.handlingS * p.timeScale);
    const auto tick = std::chrono::milliseconds(50);
    for (int s = 0; s < kSockets; ++s) floor.Seat(s);
    RollingOptions opts;
    opts.lowLevelFormat = true;
    const auto t0 = Clock::now();
    if (!RollingArm(st, true, opts)) {
        std::cerr << "floor_bench: rolling was not armed\n";
        return false;
    }
    struct Done {
        int socket;
        Clock::time_point at;
    };
    std::deque<Done> finished;  // verdicts waiting for the operator
    std::array<std::optional<Clock::time_point>, kSockets> jobStart{};
    int handling = -1;  // the socket in the operator's hands, or -1
    Clock::time_point handledAt{};
    int verdicts = 0;
    const int total = static_cast<int>(floor.LotSize());
    auto lastProgress = Clock::now();
    for (auto next = Clock::now(); verdicts < total; next += tick) {
        std::this_thread::sleep_until(next);
        const auto now = Clock::now();
        // The station's polling tick, which also tells of the jobs that
        // ended while their rows still show their disks.
        RollingTick(st, [&](int row, bool passed) {
            const int socket = floor.SocketAt(st.Locations[static_cast<size_t>(row)].port);
            if (socket < 0) return;
            floor.NoteVerdict(floor.DiskIn(socket), passed, r);
            auto& started = jobStart[static_cast<size_t>(socket)];
            r->socketBusy += Since(started.value_or(now), now);
            started.reset();
            r->wall = Since(t0, now);
            ++verdicts;
            lastProgress = now;
            if (floor.LotLeft()) finished.push_back({socket, now});
        });
        for (const SocketInfo& info : RollingSockets(st)) {
            if (info.state != SocketState::Running) continue;
            const int socket = floor.SocketAt(info.usbPort);
            if (socket >= 0 && !jobStart[static_cast<size_t>(socket)])
                jobStart[static_cast<size_t>(socket)] = now;
        }
        // The operator: seats the next disk at the end of the handling time,
        // then takes the next finished disk once its verdict has been seen.
        if (handling >= 0 && now >= handledAt + S) {
            floor.Seat(handling);
            st.DeviceEvent = MergeDeviceEvent(st.DeviceEvent, kDeviceEventArrival);
            r->operatorBusy += Since(handledAt, now);
            handling = -1;
        }
        if (handling < 0 && !finished.empty() && floor.LotLeft() &&
            now >= finished.front().at + R) {
            handling = finished.front().socket;
            finished.pop_front();
            handledAt = now;
            floor.Pull(handling);
            st.DeviceEvent = MergeDeviceEvent(st.DeviceEvent, kDeviceEventRemoval);
        }
        if (now - lastProgress > std::chrono::minutes(10)) {
            std::cerr << "floor_bench: no verdict for 10 minutes; " << verdicts << " of " << total
                      << " disks done\n";
            return false;
        }
    }
    RollingArm(st, false);
    return true;
}

void Print(const char* mode, const FloorResult& r, int sockets) {
    const double perHour = r.wall > 0 ? r.passed * 3600.0 / r.wall : 0;
    const double operatorIdle = r.wall > 0 ? 1.0 - r.operatorBusy / r.wall : 0;
    const double socketIdle = r.wall > 0 ? 1.0 - r.socketBusy / (sockets * r.wall) : 0;
    std::printf("%-8s %10.1f %7d %7d %12.1f %14.1f%% %13.1f%%\n", mode, r.wall, r.passed, r.failed,
                perHour, operatorIdle * 100.0, socketIdle * 100.0);
    for (const auto& u : r.unexpected) std::printf("  unexpected: %s\n", u.c_str());
    std::fflush(stdout);
}

bool ParseArgs(int argc, char** argv, Params* p) {
    auto number = [&](int& i, double lo, double hi, double* out) {
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        const double v = std::strtod(argv[++i], &end);
        if (end == argv[i] || *end != '\0' || !(v >= lo && v <= hi)) return false;
        *out = v;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        double v = 0;
        bool ok = true;
        if (a == "--reaction") {
            ok = number(i, 0, 3600, &p->reactionS);
        } else if (a == "--handling") {
            ok = number(i, 0, 3600, &p->handlingS);
        } else if (a == "--time-scale") {
            ok = number(i, 0, 100, &p->timeScale);
        } else if (a == "--disks") {
            ok = number(i, 1, 10000, &v);
            p->disks = static_cast<int>(v);
        } else if (a == "--fault-rate") {
            ok = number(i, 0, 1, &p->faultRate);
        } else if (a == "--seed") {
            ok = number(i, 0, 4294967295.0, &v);
            p->seed = static_cast<uint32_t>(v);
        } else if (a == "--shared-bandwidth") {
            ok = number(i, 0.001, 1e6, &p->sharedMbPerS);
        } else if (a == "--loader-mb") {
            ok = number(i, 1, 64, &v);
            p->loaderMb = static_cast<int>(v);
        } else if (a == "--mode" && i + 1 < argc) {
            const std::string m = argv[++i];
            ok = m == "both" || m == "batch" || m == "rolling";
            p->batch = m != "rolling";
            p->rolling = m != "batch";
        } else {
            ok = false;
        }
        if (!ok) {
            std::cerr << "usage: floor_bench [--reaction S] [--handling S] [--time-scale X]\n"
                         "                   [--disks N] [--fault-rate F] [--seed N]\n"
                         "                   [--shared-bandwidth MB/S] [--loader-mb N]\n"
                         "                   [--mode both|batch|rolling]\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Params p;
    if (!ParseArgs(argc, argv, &p)) return 2;
    const std::vector<DiskSpec> lot = MakeLot(p);
    int faulty = 0;
    std::map<int, int> byMb;  // disks of each capacity
    for (const auto& d : lot) {
        faulty += d.fault.empty() ? 0 : 1;
        int mb = 0;
        for (uint8_t chip : d.chips) mb += chip == 0xDA ? 256 : 512;
        ++byMb[mb];
    }

    // A private folder of our own under the shared temporary folder.
    std::string scratchTemplate = (fs::temp_directory_path() / "floor_bench-XXXXXX").string();
    if (mkdtemp(scratchTemplate.data()) == nullptr) {
        std::cerr << "floor_bench: cannot create a private temporary folder: "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    const fs::path scratch = scratchTemplate;

    std::printf(
        "lot of %d disks (%d of 256 MB, %d of 512 MB, %d of 1 GB; %d with a fault, "
        "seed %u), %d sockets\n",
        p.disks, byMb[256], byMb[512], byMb[1024], faulty, p.seed, kSockets);
    for (size_t i = 0; i < lot.size(); ++i) {
        if (!lot[i].fault.empty()) std::printf("  disk %zu: %s\n", i + 1, lot[i].fault.c_str());
    }
    std::printf(
        "one usb2 bus of %.1f MB/s shared, %d MB loader, low-level format, Format, "
        "Manufacture, Check Config, Compare Disk\n",
        p.sharedMbPerS, p.loaderMb);
    std::printf(
        "operator: reaction %.2f s, handling %.2f s (%.2f s and %.2f s at time scale "
        "%.3f, the same in both modes)\n",
        p.reactionS * p.timeScale, p.handlingS * p.timeScale, p.reactionS, p.handlingS,
        p.timeScale);
    std::printf("%-8s %10s %7s %7s %12s %15s %14s\n", "mode", "lot wall s", "passed", "failed",
                "good/hour", "operator idle", "sockets idle");

    int rc = 0;
    std::optional<FloorResult> batch, rolling;
    if (p.batch) {
        FloorResult r;
        Floor floor(p, lot, scratch / "batch");
        if (floor.Open() && RunBatch(p, floor, &r)) {
            Print("batch", r, kSockets);
            batch = r;
        } else {
            rc = 1;
        }
    }
    if (p.rolling) {
        FloorResult r;
        Floor floor(p, lot, scratch / "rolling");
        if (floor.Open() && RunRolling(p, floor, &r)) {
            Print("rolling", r, kSockets);
            rolling = r;
        } else {
            rc = 1;
        }
    }
    if (batch && rolling && batch->wall > 0 && rolling->wall > 0 && batch->passed > 0) {
        const double ratio = (rolling->passed / rolling->wall) / (batch->passed / batch->wall);
        std::printf("good disks per hour, rolling / batch: %.2f\n", ratio);
    }
    fs::remove_all(scratch);
    return rc;
}
