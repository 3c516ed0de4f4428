#include "udev_events.h"

#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "event_table.h"
#include "uevent.h"

namespace dorvel {

bool UdevDaemonRuns() {
    return ::access("/run/udev/control", F_OK) == 0;
}

UdevEvents::~UdevEvents() {
    if (queue_) udev_queue_unref(queue_);
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

bool UdevEvents::Open(std::string* error) {
    udev_ = udev_new();
    if (!udev_) {
        *error = std::string("libudev: ") + std::strerror(errno);
        return false;
    }
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_) {
        *error = std::string("udev monitor: ") + std::strerror(errno);
        return false;
    }
    for (const char* s : {"usb", "scsi", "scsi_generic", "block"}) {
        if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, s, nullptr) < 0) {
            *error = std::string("udev monitor filter ") + s;
            return false;
        }
    }
    // Room for a hub's worth of disks (the forced size needs privileges).
    udev_monitor_set_receive_buffer_size(monitor_, 1 << 20);
    if (const int r = udev_monitor_enable_receiving(monitor_); r < 0) {
        *error = std::string("udev monitor: ") + std::strerror(-r);
        return false;
    }
    fd_ = udev_monitor_get_fd(monitor_);
    queue_ = udev_queue_new(udev_);
    return fd_ >= 0;
}

// Every sg and block node the kernel shows has been handled by udev (its
// database entry is written once the rules have been applied). The kernel
// shows a device before udev has even queued its event. (libudev's
// enumeration leaves such devices out, so sysfs is listed here.)
namespace {

// A USB disk shows its sg node first; the sd or sr driver makes its block
// node a moment later, and the station locks that one too. A disk (or
// CD-ROM) unit of a USB device without its block node yet is not ready.
bool BlockNodeMissing(const std::filesystem::path& sg) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dev = fs::canonical(sg / "device", ec);
    if (ec || dev.string().find("/usb") == std::string::npos) return false;
    std::ifstream type_file(dev / "type");
    int type = -1;
    if (!(type_file >> type)) return false;
    if (type != 0 && type != 5 && type != 7 && type != 14) return false;
    return fs::is_empty(dev / "block", ec) || ec;
}

}  // namespace

bool UdevEvents::NodesHandled() {
    namespace fs = std::filesystem;
    for (const bool generic : {true, false}) {
        const char* cls = generic ? "/sys/class/scsi_generic" : "/sys/class/block";
        std::error_code ec;
        for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
            if (generic && BlockNodeMissing(it->path())) return false;
            udev_device* d = udev_device_new_from_syspath(udev_, it->path().c_str());
            if (!d) continue;  // gone meanwhile
            const bool handled =
                udev_device_get_devnum(d) == 0 || udev_device_get_is_initialized(d) > 0;
            udev_device_unref(d);
            if (!handled) return false;
        }
    }
    return true;
}

bool UdevEvents::WaitSettled(std::chrono::milliseconds limit) {
    if (!queue_) return true;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (udev_queue_get_queue_is_empty(queue_) == 0 || !NodesHandled()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<UdevChange> UdevEvents::Read() {
    std::vector<UdevChange> out;
    for (;;) {
        errno = 0;
        udev_device* d = udev_monitor_receive_device(monitor_);
        if (!d) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                out.push_back({kDevNodesChanged, "udev events lost"});
                continue;
            }
            break;
        }
        const auto text = [](const char* s) { return std::string(s ? s : ""); };
        UEvent ev;
        ev.action = text(udev_device_get_action(d));
        ev.devpath = text(udev_device_get_devpath(d));
        ev.subsystem = text(udev_device_get_subsystem(d));
        ev.devtype = text(udev_device_get_devtype(d));
        udev_device_unref(d);
        const auto code = TranslateUEvent(ev);
        if (!code) continue;
        out.push_back({*code, ev.subsystem + " " + ev.action + " " + ev.devpath});
    }
    return out;
}

}  // namespace dorvel
