// Responsiveness of the operator window during a production run: 8 simulated
// disks with the usb2 timing model run Format, Manufacture and Check Config
// (a 4 MB loader image, a 1 MB reserve image, two partitions) while a 10 ms
// timer ticks on the window's thread. The lateness of each tick (time since
// the previous tick less 10 ms) is collected from Start to the verdict and
// printed as p50, p99 and max. Offscreen platform unless one is given.
//
// With --no-window the same timer runs on an event loop with no window, for
// comparison. Each tick also reads the window thread's scheduler counters, so
// the late ticks' time splits into time on a processor, time waiting for one
// (the machine's load) and time off it (blocked on a lock or sleeping). With
// --profile the window thread's event deliveries are timed and the costliest
// kinds printed.
//
// The window lowers the workers' priority (see SetWorkerNice) and draws its
// rows' bars flat, only when their percentage changes; --worker-nice sets
// another value, and --compare runs twice as the window was before (workers
// at nice 0, the style's bars repainted on every value) and twice as it is,
// in turn, and prints both back to back.
//
//   window_bench [--disks N] [--low-level-format] [--no-window] [--profile]
//                [--compare] [--worker-nice N]
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_files.h"
#include "core/workers.h"
#include "run/discovery.h"
#include "run/run.h"
#include "simbus/bus.h"
#include "ui/qt/window.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace fs = std::filesystem;
using namespace galmor;

namespace {

void WriteRecipe(const fs::path& home) {
    bench::WriteRecipe(home, 4u << 20);
}

// The calling thread's time on a processor and waiting for one, in ns.
struct SchedStat {
    double cpu = 0, wait = 0;
};
SchedStat ReadSchedStat() {
    SchedStat s;
    std::ifstream f("/proc/thread-self/schedstat");
    f >> s.cpu >> s.wait;
    return s;
}

// Times each event delivered on the window thread (outermost deliveries
// only: a modal loop's events count inside the event that opened it).
class TimingApp : public QApplication {
  public:
    using QApplication::QApplication;
    bool profile = false;
    struct Cost {
        double total = 0, max = 0;
        long count = 0;
    };
    std::map<std::string, Cost> costs;

    bool notify(QObject* receiver, QEvent* e) override {
        if (profile && depth_ > 0 && e->type() == QEvent::Paint &&
            QThread::currentThread() == thread()) {
            // Paints happen inside the window's update request: each widget
            // kind's share.
            QElapsedTimer t;
            t.start();
            const bool r = QApplication::notify(receiver, e);
            Cost& c = costs[std::string("  paint ") + receiver->metaObject()->className()];
            const double ms = static_cast<double>(t.nsecsElapsed()) * 1e-6;
            c.total += ms;
            c.max = std::max(c.max, ms);
            ++c.count;
            return r;
        }
        if (!profile || depth_ > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, e);
        ++depth_;
        QElapsedTimer t;
        t.start();
        const bool r = QApplication::notify(receiver, e);
        const double ms = static_cast<double>(t.nsecsElapsed()) * 1e-6;
        --depth_;
        Cost& c = costs[std::string(receiver->metaObject()->className()) + " event " +
                        std::to_string(static_cast<int>(e->type()))];
        c.total += ms;
        c.max = std::max(c.max, ms);
        ++c.count;
        return r;
    }

  private:
    int depth_ = 0;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    int disks = 8;
    bool lowLevel = false;
    bool noWindow = false;
    bool profile = false;
    bool compare = false;
    int workerNice = -1;  // the window's own
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--disks") && i + 1 < argc) {
            disks = std::clamp(std::atoi(argv[++i]), 1, 8);
        } else if (!std::strcmp(argv[i], "--low-level-format")) {
            lowLevel = true;
        } else if (!std::strcmp(argv[i], "--no-window")) {
            noWindow = true;
        } else if (!std::strcmp(argv[i], "--compare")) {
            compare = true;
        } else if (!std::strcmp(argv[i], "--worker-nice") && i + 1 < argc) {
            workerNice = std::clamp(std::atoi(argv[++i]), 0, 19);
        } else if (!std::strcmp(argv[i], "--profile")) {
            profile = true;
        } else {
            std::cerr << "usage: window_bench [--disks N] [--low-level-format] [--no-window] "
                         "[--profile]\n"
                         "                    [--compare] [--worker-nice N]\n";
            return 2;
        }
    }
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const fs::path root = fs::temp_directory_path() / ("window_bench-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "bus");
    fs::create_directories(root / "sarnik");
    setenv("SARNIK_SIM_BUS", (root / "bus").c_str(), 1);
    setenv("SARNIK_ROOT", (root / "sarnik").c_str(), 1);
    WriteRecipe(root / "home");
    simbus::Bus bus((root / "bus").string());
    for (int i = 0; i < disks; ++i) {
        simbus::PlugOptions o;
        o.timing = simbus::Timing::Usb2;
        if (lowLevel) o.device.chips = {0x73};  // 1,024 blocks a disk
        bus.plug(o);
    }

    TimingApp app(argc, argv);
    int rc = 0;
    {
        auto st = std::make_unique<Station>();
        std::string error;
        if (!st->lib.Load(&error)) {
            std::cerr << "window_bench: " << error << "\n";
            return 1;
        }
        st->HomeDir = (root / "home").string();
        qtui::WindowOptions opts;
        opts.modal_messages = false;
        std::unique_ptr<qtui::OperatorWindow> w;
        bool started = false;
        if (noWindow) {
            started = ShowProductSettings(*st);
            if (started) PollingDiskStatus(*st, true);
        } else {
            w = std::make_unique<qtui::OperatorWindow>(*st, opts);
            started = w->StartUp();
        }
        if (!started || st->DiskCount.load() != disks) {
            std::cerr << "window_bench: start-up found " << st->DiskCount.load() << " disks\n";
            return 1;
        }
        if (w) w->show();
        QCoreApplication::processEvents();

        std::vector<double> lateMs;
        QElapsedTimer clock;
        qint64 last = -1;
        // The late ticks' intervals: lateness, and the scheduler's split.
        double lateSum = 0, lateCpu = 0, lateWait = 0;
        long lateTicks = 0;
        SchedStat lastStat;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            const SchedStat stat = ReadSchedStat();
            if (last >= 0) {
                const double late = std::max(0.0, static_cast<double>(now - last) * 1e-6 - 10.0);
                lateMs.push_back(late);
                if (late > 16.0) {
                    ++lateTicks;
                    lateSum += late + 10.0;
                    lateCpu += (stat.cpu - lastStat.cpu) * 1e-6;
                    lateWait += (stat.wait - lastStat.wait) * 1e-6;
                }
            }
            last = now;
            lastStat = stat;
        });

        timespec cpu0{}, cpu1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        clock.start();
        tick.start();

        // The same timer for 2 seconds with no run: the machine's own
        // scheduling delay, to read the run's figures against.
        {
            QElapsedTimer idle;
            idle.start();
            while (idle.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const std::vector<double> idleMs = lateMs;
        std::printf(
            "window responsiveness%s: %d disks, usb2 timing, %s; a 10 ms timer on the "
            "window thread\n",
            noWindow ? " (no window)" : "", disks,
            lowLevel ? "low-level format" : "Format + Manufacture + Check Config");
        auto line = [](const char* what, const std::vector<double>& v) {
            std::printf("%s lateness p50 %.2f ms  p99 %.2f ms  max %.2f ms (%zu ticks)\n", what,
                        Percentile(v, 0.50), Percentile(v, 0.99),
                        v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()), v.size());
        };
        line("idle, before the runs:", idleMs);

        std::atomic<long> changes{0};
        st->model.Subscribe([&](const Change&) { ++changes; });
        // One run with the workers at `nice` and the bars drawn flat or by
        // the style; its ticks' lateness.
        auto measure = [&](int nice, bool flat) {
            SetWorkerNice(nice);
            if (w) w->SetFlatBars(flat);
            lateMs.clear();
            last = -1;
            lateSum = lateCpu = lateWait = 0;
            lateTicks = 0;
            changes = 0;
            app.costs.clear();
            app.profile = profile;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
            const char* button = lowLevel ? "cmdLowFor" : "GoCmd";
            if (w) {
                static_cast<QPushButton*>(w->Widget(button))->click();
            } else if (lowLevel) {
                cmdLowFor_Click(*st);
            } else {
                GoCmd_Click(*st);
            }
            QElapsedTimer wall;
            wall.start();
            auto running = [&] {
                return lowLevel ? st->workers.lowFormat.BusyCount() > 0 : st->RunInProgress.load();
            };
            // The window's event loop, as QApplication::exec runs it; the
            // timer wakes it at least every 10 ms to look at the run's state.
            while (running() && wall.elapsed() < 600000) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            app.profile = false;
            const std::vector<double> result = lateMs;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
            WaitForWorkers(*st);
            if (w) w->FlushNow();
            const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;

            std::printf(
                "\nworkers at nice %d, %s bars: run %.2f s, %ld changes of the window model\n",
                nice, flat ? "flat" : "style's", seconds, changes.load());
            if (!result.empty()) {
                const auto worst = std::max_element(result.begin(), result.end());
                std::printf("the latest tick is tick %td of %zu\n", worst - result.begin(),
                            result.size());
            }
            line("during the run:", lateMs);
            const double cpu = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                               static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
            std::printf("window thread CPU %.3f s (%.1f %% of the run)\n", cpu,
                        100.0 * cpu / seconds);
            if (lateTicks > 0) {
                std::printf(
                    "late ticks (over 16 ms): %ld, %.0f ms in all: %.0f %% on a processor, "
                    "%.0f %% waiting for one, %.0f %% off it (blocked or asleep)\n",
                    lateTicks, lateSum, 100.0 * lateCpu / lateSum, 100.0 * lateWait / lateSum,
                    100.0 * (lateSum - lateCpu - lateWait) / lateSum);
            }
            if (profile) {
                std::vector<std::pair<std::string, TimingApp::Cost>> top(app.costs.begin(),
                                                                         app.costs.end());
                std::sort(top.begin(), top.end(), [](const auto& x, const auto& y) {
                    return x.second.total > y.second.total;
                });
                std::printf("window thread's costliest events (receiver, Qt event type):\n");
                for (size_t i = 0; i < top.size() && i < 12; ++i) {
                    std::printf("  %-40s %6ld x  total %8.1f ms  max %6.2f ms\n",
                                top[i].first.c_str(), top[i].second.count, top[i].second.total,
                                top[i].second.max);
                }
            }
            if (!lowLevel) {
                std::printf("banner: \"%s\"\n", st->model.Get1("PassLab").caption.c_str());
                // Start again for the next round.
                if (w) {
                    static_cast<QPushButton*>(w->Widget("ClearCmd"))->click();
                    w->FlushNow();
                } else {
                    ClearCmd_Click(*st);
                }
            }
            return result;
        };

        // The window's own settings, or with --compare the settings before
        // and after the window was made responsive, in turn, twice each, so
        // that both meet the same load.
        const int windowNice = WorkerNice();
        struct Round {
            bool after;
            int nice;
        };
        std::vector<Round> rounds{{true, workerNice >= 0 ? workerNice : windowNice}};
        if (compare) rounds = {{false, 0}, {true, windowNice}, {false, 0}, {true, windowNice}};
        std::map<bool, std::vector<double>> pooled;
        for (const Round& r : rounds) {
            const auto v = measure(r.nice, r.after);
            pooled[r.after].insert(pooled[r.after].end(), v.begin(), v.end());
            if (v.empty()) rc = 1;
        }
        if (compare) {
            std::printf("\nback to back, %zu runs each:\n", rounds.size() / 2);
            line("before (workers at nice 0, style's bars):", pooled[false]);
            const std::string after =
                "after (workers at nice " + std::to_string(windowNice) + ", flat bars):";
            line(after.c_str(), pooled[true]);
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return rc;
}
