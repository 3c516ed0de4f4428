// dorvel: the station's device-change monitor. It watches USB disks arrive
// and leave and tells the station "IN" or "OU" through the notice socket.
// Started by the station; ends with it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "bus_watch.h"
#include "change_monitor.h"
#include "dorvel_link.h"
#include "event_table.h"
#include "kernel_events.h"
#include "notice.h"
#include "platform.h"
#include "stage_marks.h"
#include "udev_events.h"

namespace {

using namespace dorvel;

// How long a recount waits for udev to handle the nodes of what just changed.
constexpr std::chrono::milliseconds kUdevPatience{10000};

struct Options {
    bool verbose = false;
    int ready_fd = -1;
    long parent = 0;
};

// Ends with the station: the kernel sends SIGTERM when the parent dies, and a
// parent that died before that was set up is seen as a changed parent id.
bool TieToParent(long expected) {
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return false;
    return static_cast<long>(::getppid()) == expected;
}

void ArmPause(int timer) {
    itimerspec its{};
    its.it_value.tv_sec = kPauseMs / 1000;
    its.it_value.tv_nsec = static_cast<long>(kPauseMs % 1000) * 1000000L;
    ::timerfd_settime(timer, 0, &its, nullptr);
}

std::set<std::string> Recount() {
    auto platform = sarnik::make_platform();
    return UsbDisks(
        [&](uint32_t i) { return platform->interface_path(sarnik::UnitClass::Disk, i); });
}

void Say(const Options& o, const std::string& line) {
    if (!o.verbose) return;
    std::cout << line << std::endl;
}

std::string Describe(const ChangeMonitor::Recount& r) {
    std::string s = "recount: " + std::to_string(r.count) + " USB disk(s)";
    if (r.notices.empty()) return s + ", no notice";
    for (const auto& n : r.notices)
        s += ", notice " + n.text + (n.delivered ? " sent" : " dropped (no station)");
    return s;
}

int Run(int argc, char** argv) {
    Options o;
    CLI::App app{
        "dorvel: device-change monitor of the USB flash-disk station.\n"
        "Recounts the USB disks on every device change and sends the station \"IN\" or \"OU\".\n"
        "Started by galmor; a second copy ends at once."};
    app.set_version_flag("--version", std::string("dorvel ") + UFD_VERSION);
    app.footer(
        "Exit codes:\n"
        "  0  ended by a signal, or its station ended, or another dorvel is running\n"
        "  1  it cannot watch (no private folder, no event source, no lock)\n"
        "  64 usage error: an unknown option or a bad option value");
    app.add_flag("--verbose", o.verbose, "Print each device event by its name, and each recount");
    app.add_option("--ready-fd", o.ready_fd,
                   "Descriptor to write \"R\" to once watching; kept open until the end");
    app.add_option("--parent", o.parent, "Process id of the station (default: the parent)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A usage error: the same code in every program of the station.
        return app.exit(e) == 0 ? 0 : 64;
    }

    const long parent = o.parent > 0 ? o.parent : static_cast<long>(::getppid());
    if (!TieToParent(parent)) return 0;
    if (o.ready_fd >= 0) ::fcntl(o.ready_fd, F_SETFD, FD_CLOEXEC);

    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &sigs, nullptr);
    const int sigfd = ::signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);

    const std::string folder = dorvel_link::PrepareFolder();
    if (folder.empty()) {
        std::cerr << "dorvel: no private folder for the notice socket\n";
        return 1;
    }
    int lock_fd = -1;
    std::string error;
    switch (TakeInstanceLock(dorvel_link::InstanceLockPath(folder), &lock_fd, &error)) {
        case InstanceLock::Taken:
            break;
        case InstanceLock::HeldByAnother:
            Say(o, "another dorvel is running");
            return 0;
        case InstanceLock::Failed:
            std::cerr << "dorvel: " << error << "\n";
            return 1;
    }

    std::unique_ptr<BusWatch> bus;
    std::unique_ptr<UdevEvents> udev;
    std::unique_ptr<KernelEvents> kernel;
    int source = -1;
    std::string watching;
    if (const char* dir = std::getenv("SARNIK_SIM_BUS"); dir && *dir) {
        bus = std::make_unique<BusWatch>();
        if (!bus->Open(dir, &error)) {
            std::cerr << "dorvel: " << error << "\n";
            return 1;
        }
        source = bus->fd();
        watching = "the simulated bus";
    } else if (UdevDaemonRuns()) {
        // udev runs: react once it has made the nodes and applied its rules.
        udev = std::make_unique<UdevEvents>();
        if (!udev->Open(&error)) {
            std::cerr << "dorvel: " << error << "\n";
            return 1;
        }
        source = udev->fd();
        watching = "device events after udev (a udev daemon runs)";
    } else {
        kernel = std::make_unique<KernelEvents>();
        if (!kernel->Open(&error)) {
            std::cerr << "dorvel: " << error << "\n";
            return 1;
        }
        source = kernel->fd();
        watching = "the kernel's device events (no udev daemon runs)";
    }
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (sigfd < 0 || timer < 0) {
        std::cerr << "dorvel: cannot set up signals or the pause timer\n";
        return 1;
    }

    NoticeSender sender(dorvel_link::NoticeSocketPath(folder));
    // After udev's events, a recount waits (a bounded time) until udev has
    // handled the nodes too.
    const auto recount = [&] {
        if (udev && !udev->WaitSettled(kUdevPatience))
            Say(o, "udev still busy after " + std::to_string(kUdevPatience.count()) +
                       " ms: counting now");
        return Recount();
    };
    ChangeMonitor monitor({recount,
                           [&](std::string_view n) {
                               dorvel_link::MarkStage("notice");
                               return sender.Send(n);
                           },
                           [&] { ArmPause(timer); }});
    // The disks present now are the station's first discovery's; only changes
    // from here on are notices.
    monitor.TakeFirstCount();

    if (o.ready_fd >= 0) {
        const char r = 'R';
        while (::write(o.ready_fd, &r, 1) < 0 && errno == EINTR) {
        }
    }
    Say(o, "watching " + watching + "; " + std::to_string(monitor.last_count()) +
               " USB disk(s) present");

    const auto handle = [&](uint16_t code, const std::string& what) {
        const DeviceChangeEvent* e = LookUpEvent(code);
        const std::string name = e ? e->name : "unknown";
        if (CausesRecount(code)) dorvel_link::MarkStage("event");
        switch (monitor.OnEvent(code)) {
            case ChangeMonitor::Outcome::Ignored:
                Say(o, name + " " + what);
                break;
            case ChangeMonitor::Outcome::Deferred:
                Say(o, name + " " + what + " (busy: recount after the pause)");
                break;
            case ChangeMonitor::Outcome::Recounted:
                Say(o, name + " " + what);
                Say(o, Describe(monitor.last_recount()));
                break;
        }
    };

    for (;;) {
        pollfd fds[3] = {{source, POLLIN, 0}, {sigfd, POLLIN, 0}, {timer, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            std::cerr << "dorvel: poll failed\n";
            return 1;
        }
        if (fds[1].revents) {
            Say(o, "ending");
            return 0;
        }
        // Events first: one that came before the pause ended belongs to the
        // pause and is recounted when it ends.
        if (fds[0].revents) {
            if (bus) {
                for (const auto& c : bus->Read()) handle(c.code, c.what);
            } else if (udev) {
                for (const auto& c : udev->Read()) handle(c.code, c.what);
            } else {
                for (const auto& c : kernel->Read()) handle(c.code, c.what);
            }
        }
        if (fds[2].revents) {
            uint64_t expirations = 0;
            if (::read(timer, &expirations, sizeof expirations) > 0 && monitor.OnPauseEnded()) {
                Say(o, Describe(monitor.last_recount()));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "dorvel: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "dorvel: unexpected error\n";
    }
    return 1;
}
