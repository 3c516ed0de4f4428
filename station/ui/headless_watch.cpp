#include "ui/headless_watch.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/monitor_link.h"
#include "prodlog/record.h"
#include "run/polling_timer.h"
#include "run/rolling.h"
#include "run/run.h"
#include "stage_marks.h"
#include "ui/controls.h"
#include "ui/station.h"

namespace galmor {

namespace {

constexpr int kTimerIntervalMs = 50;

// The unit's instance in its device path (between the second and third "#":
// the bus position, stable while the disk stays plugged).
std::string Instance(const std::string& path) {
    const size_t a = path.find('#');
    const size_t b = a == std::string::npos ? a : path.find('#', a + 1);
    const size_t c = b == std::string::npos ? b : path.find('#', b + 1);
    if (c == std::string::npos) return path;
    return path.substr(b + 1, c - b - 1);
}

std::vector<std::string> PresentInstances(const Station& st) {
    std::vector<std::string> out;
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i)
        out.push_back(Instance(st.ports[static_cast<size_t>(i)].DevicePath));
    return out;
}

}  // namespace

int RunHeadlessWatch(Station& st, MonitorLink& link, const HeadlessOptions& opts,
                     const WatchOptions& watch, std::ostream& out) {
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timer < 0) {
        out << "galmor: cannot create the polling timer\n";
        return kExitOtherError;
    }
    itimerspec its{};
    its.it_interval.tv_nsec = kTimerIntervalMs * 1000000L;
    its.it_value = its.it_interval;
    ::timerfd_settime(timer, 0, &its, nullptr);

    std::set<std::string> done;     // units of finished runs
    std::vector<std::string> runs;  // units of the run in progress
    bool running = false;
    int finished = 0;
    ReportRun report;
    report.action = "run";

    const auto print = [&] {
        PrintModel(st, out);
        out.flush();
    };
    const auto maybe_start = [&] {
        if (watch.auto_run <= 0 || running || st.RunInProgress) return;
        if (st.DiskCount.load() < watch.auto_run || !st.model.Get1(ctl::kGoCmd).enabled) return;
        const auto present = PresentInstances(st);
        for (const auto& u : present) {
            if (done.count(u)) return;  // wait until the finished disks are gone
        }
        const std::string startedAt = prodlog::UtcNow();
        GoCmd_Click(st);
        if (st.RunInProgress) {
            report.started_at = startedAt;
            running = true;
            runs = present;
        } else {
            // Nothing ran ("No items checked"): these disks are not taken again.
            done.insert(present.begin(), present.end());
            print();
        }
    };
    const auto finish_run = [&] {
        WaitForWorkers(st);
        running = false;
        done.insert(runs.begin(), runs.end());
        ++finished;
        print();
        const Control banner = st.model.Get1(ctl::kPassLab);
        out << "Run " << finished << " ended: " << (banner.visible ? banner.caption : "no verdict")
            << "\n";
        out.flush();
        if (!opts.report.empty()) {
            report.ended_at = prodlog::UtcNow();
            WriteReportTo(opts.report, ReportJson(st, report), true, out);
        }
    };

    // Rolling production: every socket starts by itself.
    bool lotShown = false;
    const auto rolling_tick = [&] {
        // Each ended disk is reported while its row still shows it.
        const bool changed = RollingTick(st, [&](int r, bool passed) {
            out << "Disk " << r + 1 << " ended: " << (passed ? "passed" : "failed") << " ("
                << RollingLot(st).Text() << ")\n";
            if (!opts.report.empty()) {
                report.ended_at = prodlog::UtcNow();
                WriteReportTo(opts.report, ReportDiskJson(st, report, r, passed), true, out);
            }
        });
        if (!changed) return;
        print();
        const LotCount lot = RollingLot(st);
        if (lot.complete && !lotShown) {
            lotShown = true;
            out << "Lot " << lot.id << " complete: " << st.model.Get1(ctl::kPassLab).caption
                << "\n";
        }
        out.flush();
    };
    if (watch.rolling) {
        RollingOptions ro;
        ro.lowLevelFormat = watch.low_level_format;
        ro.rework = watch.rework;
        ro.lot = watch.lot;
        report.action = "rolling";
        report.started_at = prodlog::UtcNow();
        if (!RollingArm(st, true, ro)) {
            print();
            out << "galmor: rolling production could not start\n";
            ::close(timer);
            return kExitOtherError;
        }
        out << "Lot " << RollingLot(st).id << "\n";
        print();
    } else {
        print();
        maybe_start();
    }
    int code = kExitPassed;
    for (;;) {
        pollfd fds[4] = {{watch.stop_fd, POLLIN, 0},
                         {link.notice_fd(), POLLIN, 0},
                         {timer, POLLIN, 0},
                         {link.monitor().life_fd(), POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            out << "galmor: poll failed\n";
            code = kExitOtherError;
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents) {
            // The hook: a pending removal is kept, otherwise the latest notice.
            if (link.TakeNotices(st.DeviceEvent)) dorvel_link::MarkStage("received");
        }
        const auto supervise = [&] {
            std::string note;
            const Supervision s = link.Supervise(&note);
            if (s == Supervision::Quiet) return;
            out << "galmor: " << note << "\n";
            out.flush();
            // Changes while no monitor watched were not noticed: look again,
            // with the removal's clean-up since disks may have gone.
            if (s == Supervision::Restarted)
                st.DeviceEvent = MergeDeviceEvent(st.DeviceEvent, kDeviceEventRemoval);
        };
        if (fds[3].revents) supervise();
        if (fds[2].revents) {
            uint64_t ticks = 0;
            if (::read(timer, &ticks, sizeof ticks) <= 0) continue;
            supervise();
            if (watch.rolling) {
                rolling_tick();
                continue;
            }
            if (running && !st.RunInProgress) finish_run();
            if (Timer1_Timer(st)) print();
            maybe_start();
        }
    }
    ::close(timer);
    return code;
}

}  // namespace galmor
