// Responsiveness of the operator window during a production run: 8 simulated
// disks with the usb2 timing model run Format, Manufacture and Check Config
// (a 4 MB loader image, a 1 MB reserve image, two partitions) while a 10 ms
// timer ticks on the window's thread. The lateness of each tick (time since
// the previous tick less 10 ms) is collected from Start to the verdict and
// printed as p50, p99 and max. Offscreen platform unless one is given.
//
// With --no-window the same timer runs on an event loop with no window, for
// comparison.
//
//   window_bench [--disks N] [--low-level-format] [--no-window]
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
#include <memory>
#include <string>
#include <vector>

#include "run/discovery.h"
#include "run/run.h"
#include "simbus/bus.h"
#include "ui/qt/window.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace fs = std::filesystem;
using namespace galmor;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

void WriteRecipe(const fs::path& home) {
    const fs::path files = home / "files";
    WriteFile(files / "7301.img", Pattern(4u << 20, 1));
    WriteFile(files / "Reserve.img", Pattern(1u << 20, 2));
    WriteFile(home / "Product.ini",
              "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
              "[USB MANUFACTURE STRING]\r\nKorva\r\n"
              "[USB PRODUCT STRING]\r\nFlash Disk\r\n"
              "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n"
              "[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
              "[PARTITION STATUS]\r\nParNum=2\r\n1st=0.5\r\n2nd=0.5\r\n"
              "[DISK LABEL]\r\nBENCH\r\n"
              "[DISK CAPACITY]\r\nSize=512\r\n"
              "[7301 Compare Disk Flag]\r\nTrue\r\n"
              "[Serial Number]\r\nBEN\r\n"
              "[7301 Files Directory]\r\n" +
                  files.string() + "/\r\n");
}

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
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--disks") && i + 1 < argc) {
            disks = std::clamp(std::atoi(argv[++i]), 1, 8);
        } else if (!std::strcmp(argv[i], "--low-level-format")) {
            lowLevel = true;
        } else if (!std::strcmp(argv[i], "--no-window")) {
            noWindow = true;
        } else {
            std::cerr << "usage: window_bench [--disks N] [--low-level-format] [--no-window]\n";
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

    QApplication app(argc, argv);
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
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (last >= 0) lateMs.push_back(std::max(0.0, (now - last) * 1e-6 - 10.0));
            last = now;
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
        lateMs.clear();
        last = -1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);

        std::atomic<long> changes{0};
        st->model.Subscribe([&](const Change&) { ++changes; });
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
        // The window's event loop, as QApplication::exec runs it; the timer
        // wakes it at least every 10 ms to look at the run's state.
        while (running() && wall.elapsed() < 600000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        tick.stop();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        WaitForWorkers(*st);
        if (w) w->FlushNow();
        const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;

        std::printf("window responsiveness%s: %d disks, usb2 timing, %s\n",
                    noWindow ? " (no window)" : "", disks,
                    lowLevel ? "low-level format" : "Format + Manufacture + Check Config");
        std::printf(
            "run %.2f s, %ld changes of the window model; a 10 ms timer on the window "
            "thread\n",
            seconds, changes.load());
        auto line = [](const char* what, const std::vector<double>& v) {
            std::printf("%s lateness p50 %.2f ms  p99 %.2f ms  max %.2f ms (%zu ticks)\n", what,
                        Percentile(v, 0.50), Percentile(v, 0.99),
                        v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()), v.size());
        };
        line("during the run:", lateMs);
        line("idle, before it:", idleMs);
        const double cpu = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                           static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
        std::printf("window thread CPU %.3f s (%.1f %% of the run)\n", cpu, 100.0 * cpu / seconds);
        if (!lowLevel) {
            std::printf("banner: \"%s\"\n", st->model.Get1("PassLab").caption.c_str());
        }
        rc = lateMs.empty() ? 1 : 0;
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return rc;
}
