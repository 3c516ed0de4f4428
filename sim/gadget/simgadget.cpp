// simgadget: one device of the simulated bus as a real USB mass-storage device
// of the Linux kernel this runs on, through the USB gadget framework: a
// configfs gadget carrying the device's USB identity, one FunctionFS function
// (interface class 8, subclass 6, protocol 0x50) whose bulk endpoints this
// program serves with the bulk-only transport. On a machine with the software
// gadget controller (dummy_hcd) the kernel's own usb-storage driver binds to
// it, so /dev/sgN and /dev/sdX reach the device model.
//
//   simgadget --bus DIR --device ID --udc dummy_udc.0 [--name ufd0] [--ready FILE]
//             [--hang-at OP[:NTH]] [--reenumerate-at OP[:NTH]] [--slow-at OP[:NTH] --slow-ms MS]
//
// The program plugs the device when it starts and unplugs it (and removes
// the gadget) on SIGTERM or SIGINT, or when the device leaves the bus. A re-plug is: stop, `simbus
// replug ID`, start again; the device then presents what it presents after a re-plug.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bot.h"
#include "bus_target.h"
#include "faults.h"

namespace {

using simgadget::Transport;

std::string g_name = "ufd";

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "[simgadget %s] %s\n", g_name.c_str(), line);
}

// ---- configfs -------------------------------------------------------------

bool write_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        logf("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int err = errno;
    ::close(fd);
    if (n != ssize_t(text.size())) {
        logf("cannot write '%s' to %s: %s", text.c_str(), path.c_str(), std::strerror(err));
        return false;
    }
    return true;
}

bool write_file_new(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        logf("cannot create %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    ::close(fd);
    return true;
}

bool make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    logf("cannot create %s: %s", path.c_str(), std::strerror(errno));
    return false;
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

// USB string descriptors hold at most 126 UTF-16 units; configfs refuses more.
std::string usb_string(const std::string& s) {
    return s.substr(0, 126);
}

struct Gadget {
    std::string root;      // configfs gadget folder
    std::string function;  // instance name of the FunctionFS function
    std::string ffs_dir;   // where the function's files are mounted

    std::string g(const std::string& rel) const { return root + "/" + rel; }

    bool create(const simgadget::Presentation& p) {
        const auto& u = p.usb;
        bool ok = make_dir(root) && write_file(g("idVendor"), hex4(u.vid)) &&
                  write_file(g("idProduct"), hex4(u.pid)) &&
                  write_file(g("bcdDevice"), hex4(u.bcd)) &&
                  write_file(g("bcdUSB"), hex4(0x0200)) && make_dir(g("strings")) &&
                  make_dir(g("strings/0x409"));
        // An empty string is no string: the descriptor index stays 0.
        if (ok && !u.manufacturer.empty())
            ok = write_file(g("strings/0x409/manufacturer"), usb_string(u.manufacturer));
        if (ok && !u.product.empty())
            ok = write_file(g("strings/0x409/product"), usb_string(u.product));
        if (ok && !u.serial.empty())
            ok = write_file(g("strings/0x409/serialnumber"), usb_string(u.serial));
        ok = ok && make_dir(g("configs")) && make_dir(g("configs/c.1")) &&
             write_file(g("configs/c.1/MaxPower"), "100") && make_dir(g("functions")) &&
             make_dir(g("functions/ffs." + function));
        if (ok &&
            ::symlink(g("functions/ffs." + function).c_str(),
                      g("configs/c.1/ffs." + function).c_str()) != 0 &&
            errno != EEXIST) {
            logf("cannot link the function into the configuration: %s", std::strerror(errno));
            ok = false;
        }
        ok = ok && make_dir(ffs_dir);
        if (ok && ::mount(function.c_str(), ffs_dir.c_str(), "functionfs", 0, nullptr) != 0) {
            logf("cannot mount functionfs %s on %s: %s", function.c_str(), ffs_dir.c_str(),
                 std::strerror(errno));
            ok = false;
        }
        return ok;
    }

    bool bind(const std::string& udc) { return write_file(g("UDC"), udc); }
    void unbind() {
        const int fd = ::open(g("UDC").c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        if (::write(fd, "\n", 1) < 0 && errno != ENODEV) {
            logf("cannot unbind: %s", std::strerror(errno));
        }
        ::close(fd);
    }
    // Removes what create() made, in reverse order; missing parts are fine.
    void remove() {
        unbind();
        ::umount(ffs_dir.c_str());
        ::rmdir(ffs_dir.c_str());
        ::unlink(g("configs/c.1/ffs." + function).c_str());
        ::rmdir(g("configs/c.1").c_str());
        ::rmdir(g("functions/ffs." + function).c_str());
        ::rmdir(g("strings/0x409").c_str());
        ::rmdir(root.c_str());
    }
};

// ---- FunctionFS -------------------------------------------------------------

struct EndpointSet {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio in, out;
} __attribute__((packed));

struct Descriptors {
    usb_functionfs_descs_head_v2 header;
    __le32 fs_count, hs_count;
    EndpointSet fs, hs;
} __attribute__((packed));

constexpr char kInterfaceName[] = "Bulk-Only Mass Storage";
struct Strings {
    usb_functionfs_strings_head header;
    __le16 code;
    char name[sizeof kInterfaceName];
} __attribute__((packed));

EndpointSet endpoint_set(uint16_t max_packet) {
    EndpointSet s{};
    s.intf.bLength = sizeof s.intf;
    s.intf.bDescriptorType = USB_DT_INTERFACE;
    s.intf.bNumEndpoints = 2;
    s.intf.bInterfaceClass = USB_CLASS_MASS_STORAGE;
    s.intf.bInterfaceSubClass = 0x06;  // SCSI transparent command set
    s.intf.bInterfaceProtocol = 0x50;  // bulk-only
    s.intf.iInterface = 1;
    for (auto* ep : {&s.in, &s.out}) {
        ep->bLength = sizeof *ep;
        ep->bDescriptorType = USB_DT_ENDPOINT;
        ep->bmAttributes = USB_ENDPOINT_XFER_BULK;
        ep->wMaxPacketSize = htole16(max_packet);
    }
    s.in.bEndpointAddress = 1 | USB_DIR_IN;
    s.out.bEndpointAddress = 2 | USB_DIR_OUT;
    return s;
}

bool write_all(int fd, const void* p, size_t n) {
    return ::write(fd, p, n) == ssize_t(n);
}

std::atomic<bool> g_stop{false};
std::atomic<bool> g_enabled{false};
std::atomic<bool> g_control_done{false};
std::atomic<uint64_t> g_epoch{0};  // bumped by reset, disable, unbind, stop
std::mutex g_mu;
std::condition_variable g_cv;
pthread_t g_bot_thread;

void on_sigusr1(int) {}

void kick_bot() {
    ++g_epoch;
    { std::lock_guard<std::mutex> l(g_mu); }
    g_cv.notify_all();
    pthread_kill(g_bot_thread, SIGUSR1);
}

// Set when a command was left unanswered so that the device re-enumerates:
// the host's next reset makes it disconnect and connect again.
std::atomic<bool> g_reenumerate_pending{false};

// Waits until a reset, disconnect or stop ends the transfers of `epoch`, or
// `limit` has passed; true when they ended.
bool wait_epoch_end(uint64_t epoch, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> l(g_mu);
    return g_cv.wait_for(l, limit, [&] { return g_stop.load() || g_epoch.load() != epoch; });
}
void wait_epoch_end(uint64_t epoch) {
    while (!wait_epoch_end(epoch, std::chrono::seconds(1))) {
    }
}

// The device behind the wire faults. A command that met a fault, or found the
// device unplugged on the bus, gets no answer: the host sees nothing more on
// the bulk pipe until it resets the device or the device leaves the bus.
class WireTarget final : public simgadget::Target {
  public:
    WireTarget(simgadget::BusTarget& inner, simgadget::WireFaultPlan plan,
               std::chrono::milliseconds slow)
        : inner_(inner), plan_(std::move(plan)), slow_(slow) {}
    size_t luns() const override { return inner_.luns(); }

    std::optional<simdev::Response> execute(uint8_t lun, const simdev::Request& req) override {
        const uint64_t epoch = g_epoch.load();
        const uint8_t op = req.cdb.empty() ? 0 : req.cdb[0];
        if (const auto fault = plan_.next(op)) {
            switch (*fault) {
                case simgadget::WireFault::Hang:
                    logf("command %02x not answered (injected); waiting for a reset", op);
                    wait_epoch_end(epoch);
                    return std::nullopt;
                case simgadget::WireFault::Reenumerate:
                    logf("command %02x not answered (injected); re-enumerating at the reset", op);
                    g_reenumerate_pending = true;
                    wait_epoch_end(epoch);
                    return std::nullopt;
                case simgadget::WireFault::Slow:
                    logf("command %02x answered %lld ms late (injected)", op,
                         static_cast<long long>(slow_.count()));
                    if (wait_epoch_end(epoch, slow_)) return std::nullopt;
                    break;
            }
        }
        auto r = inner_.execute(lun, req);
        if (!r && inner_.gone()) {
            // Pulled out in the middle of the command: no status follows.
            logf("the device left the bus during command %02x", op);
            ::kill(::getpid(), SIGTERM);
            wait_epoch_end(epoch);
        }
        return r;
    }

  private:
    simgadget::BusTarget& inner_;
    simgadget::WireFaultPlan plan_;
    std::chrono::milliseconds slow_;
};

// The bulk endpoints. Every transfer belongs to the epoch it started in; a
// reset or disconnect interrupts it (EINTR through SIGUSR1) and fails it.
class FfsPipe final : public simgadget::Pipe {
  public:
    FfsPipe(int in, int out) : in_(in), out_(out) {}
    void arm() { armed_ = g_epoch.load(); }

    long receive(uint8_t* buf, size_t n) override {
        if (stale()) return -1;
        const ssize_t r = ::read(out_, buf, n);
        return r < 0 ? -1 : long(r);
    }
    bool send(const uint8_t* buf, size_t n) override {
        size_t done = 0;
        while (done < n) {
            if (stale()) return false;
            const ssize_t r = ::write(in_, buf + done, n - done);
            if (r <= 0) return false;
            done += size_t(r);
        }
        return true;
    }
    // FunctionFS halts an endpoint when its file is used in the wrong direction.
    // A UDC refuses to halt bulk-in while a short packet is still queued for
    // the host (EAGAIN): retried until the host has taken it.
    bool halt_in() override { return halt(true); }
    bool halt_out() override { return halt(false); }

  private:
    bool stale() const { return g_epoch.load() != armed_; }
    bool halt(bool in) {
        uint8_t dummy = 0;
        for (int i = 0; i < 5000 && !stale(); ++i) {
            const ssize_t r = in ? ::read(in_, &dummy, 0) : ::write(out_, &dummy, 0);
            if (r < 0 && errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            return r < 0 && errno == EBADMSG;
        }
        return false;
    }
    int in_, out_;
    uint64_t armed_ = 0;
};

void serve_setup(int ep0, int ep_in, int ep_out, Transport& t, const usb_ctrlrequest& s) {
    simgadget::Setup setup;
    setup.request_type = s.bRequestType;
    setup.request = s.bRequest;
    setup.value = le16toh(s.wValue);
    setup.index = le16toh(s.wIndex);
    setup.length = le16toh(s.wLength);
    const uint64_t before = t.resets();
    const auto reply = t.control(setup);
    const bool in = (s.bRequestType & USB_DIR_IN) != 0;
    ssize_t r;
    if (reply.stall) {
        r = in ? ::read(ep0, nullptr, 0) : ::write(ep0, nullptr, 0);  // wrong direction: stall
        logf("control request %02x %02x value %04x index %04x length %u stalled", s.bRequestType,
             s.bRequest, setup.value, setup.index, setup.length);
        return;
    }
    if (in) {
        r = ::write(ep0, reply.data.data(), reply.data.size());
    } else {
        r = ::read(ep0, nullptr, 0);
    }
    if (r < 0)
        logf("control request %02x %02x: %s", s.bRequestType, s.bRequest, std::strerror(errno));
    if (t.resets() != before) {
        ::ioctl(ep_in, FUNCTIONFS_FIFO_FLUSH);
        ::ioctl(ep_out, FUNCTIONFS_FIFO_FLUSH);
        kick_bot();
        logf("bulk-only mass storage reset");
        if (g_reenumerate_pending.exchange(false)) ::kill(::getpid(), SIGUSR2);
    }
}

void ep0_loop(int ep0, int ep_in, int ep_out, Transport& t) {
    usb_functionfs_event ev[8];
    while (!g_stop.load()) {
        const ssize_t n = ::read(ep0, ev, sizeof ev);
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN) {
                logf("control endpoint: %s", std::strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            continue;
        }
        for (ssize_t i = 0; i < n / ssize_t(sizeof ev[0]); ++i) {
            switch (ev[i].type) {
                case FUNCTIONFS_SETUP:
                    serve_setup(ep0, ep_in, ep_out, t, ev[i].u.setup);
                    break;
                case FUNCTIONFS_ENABLE:
                    g_enabled = true;
                    kick_bot();
                    break;
                case FUNCTIONFS_DISABLE:
                case FUNCTIONFS_UNBIND:
                    g_enabled = false;
                    kick_bot();
                    // A port reset instead of the class reset.
                    if (g_reenumerate_pending.exchange(false)) ::kill(::getpid(), SIGUSR2);
                    break;
                default:
                    break;
            }
        }
    }
    g_control_done = true;
}

void bot_loop(FfsPipe& pipe, Transport& t, const simgadget::BusTarget& target) {
    while (!g_stop.load()) {
        {
            std::unique_lock<std::mutex> l(g_mu);
            g_cv.wait(l, [] { return g_stop.load() || g_enabled.load(); });
        }
        if (g_stop.load()) break;
        pipe.arm();
        t.serve_one();
        if (target.gone()) {
            // Unplugged on the bus: unplug the USB device as well.
            logf("the device left the bus");
            ::kill(::getpid(), SIGTERM);
            break;
        }
    }
}

std::string counters_text(const Transport& t) {
    const auto c = t.counters();
    return "commands " + std::to_string(c.commands) + ", failed " + std::to_string(c.failed) +
           ", phase errors " + std::to_string(c.phase_errors) + ", refused blocks " +
           std::to_string(c.refused);
}

int run(const std::string& bus_dir, const std::string& id, const std::string& udc,
        const std::string& configfs, const std::string& ffs_root, const std::string& ready,
        bool stall_short_in, simgadget::WireFaultPlan plan, std::chrono::milliseconds slow) {
    std::string error;
    auto target = simgadget::BusTarget::open(bus_dir, id, &error);
    if (!target) {
        logf("%s", error.c_str());
        return 1;
    }
    const auto& p = target->presentation();
    logf("device %s: %04x:%04x bcdDevice %04x, %zu unit(s)", id.c_str(), p.usb.vid, p.usb.pid,
         p.usb.bcd, p.units.size());

    Gadget gadget{configfs + "/" + g_name, g_name, ffs_root + "/" + g_name};
    gadget.remove();  // what an earlier run may have left
    if (!gadget.create(p)) {
        gadget.remove();
        return 1;
    }

    const std::string dir = gadget.ffs_dir;
    const int ep0 = ::open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    Descriptors d{};
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    d.header.length = htole32(sizeof d);
    d.fs_count = htole32(3);
    d.hs_count = htole32(3);
    d.fs = endpoint_set(64);
    d.hs = endpoint_set(512);
    Strings s{};
    s.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.header.length = htole32(sizeof s);
    s.header.str_count = htole32(1);
    s.header.lang_count = htole32(1);
    s.code = htole16(0x0409);
    std::memcpy(s.name, kInterfaceName, sizeof kInterfaceName);
    if (ep0 < 0 || !write_all(ep0, &d, sizeof d) || !write_all(ep0, &s, sizeof s)) {
        logf("cannot set up the function in %s: %s", dir.c_str(), std::strerror(errno));
        if (ep0 >= 0) ::close(ep0);
        gadget.remove();
        return 1;
    }
    const int ep_in = ::open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    const int ep_out = ::open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (ep_in < 0 || ep_out < 0) {
        logf("cannot open the bulk endpoints in %s: %s", dir.c_str(), std::strerror(errno));
        for (int fd : {ep_in, ep_out, ep0})
            if (fd >= 0) ::close(fd);
        gadget.remove();
        return 1;
    }

    FfsPipe pipe(ep_in, ep_out);
    simgadget::TransportOptions opts;
    opts.stall_short_in = stall_short_in;
    WireTarget wire(*target, std::move(plan), slow);
    Transport transport(pipe, wire, opts);

    std::thread bot([&] { bot_loop(pipe, transport, *target); });
    g_bot_thread = bot.native_handle();
    std::thread control([&] { ep0_loop(ep0, ep_in, ep_out, transport); });
    const pthread_t control_thread = control.native_handle();

    int rc = 0;
    if (!gadget.bind(udc)) {
        rc = 1;
    } else {
        if (!ready.empty() && !write_file_new(ready)) rc = 1;
        logf("plugged into %s", udc.c_str());
        sigset_t wait_set;
        sigemptyset(&wait_set);
        sigaddset(&wait_set, SIGTERM);
        sigaddset(&wait_set, SIGINT);
        sigaddset(&wait_set, SIGUSR2);
        int sig = 0;
        while (sigwait(&wait_set, &sig) == 0 && sig == SIGUSR2) {
            // Re-enumeration: off the controller and on again, so that the
            // host sees a disconnect and then a new device.
            gadget.unbind();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (!gadget.bind(udc)) break;
            logf("re-enumerating: disconnected and connected again");
        }
        logf("unplugging (%s); %s", strsignal(sig), counters_text(transport).c_str());
    }
    gadget.unbind();
    g_stop = true;
    kick_bot();
    bot.join();
    // The control thread may sit in a read that one signal missed.
    while (!g_control_done.load()) {
        pthread_kill(control_thread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    control.join();
    ::close(ep_in);
    ::close(ep_out);
    ::close(ep0);
    gadget.remove();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Presents a device of the simulated bus as a USB gadget"};
    std::string bus_dir, id, udc, ready;
    std::string configfs = "/sys/kernel/config/usb_gadget", ffs_root = "/dev/ffs";
    bool stall_short_in = false;
    std::vector<std::string> hangs, reenumerates, slows;
    int slow_ms = 1500;
    if (const char* env = std::getenv("SARNIK_SIM_BUS")) bus_dir = env;
    app.add_option("--bus", bus_dir, "bus folder (default: $SARNIK_SIM_BUS)");
    app.add_option("--device", id, "device id on the bus")->required();
    app.add_option("--udc", udc, "USB device controller to plug into, e.g. dummy_udc.0")
        ->required();
    app.add_option("--name", g_name, "gadget and function name");
    app.add_option("--configfs", configfs, "configfs usb_gadget folder");
    app.add_option("--ffs-root", ffs_root, "folder where the function's files are mounted");
    app.add_option("--ready", ready, "file created once the device is plugged in");
    app.add_flag("--stall-short-in", stall_short_in,
                 "send short data-in and halt bulk-in instead of padding with zeros");
    app.add_option("--hang-at", hangs,
                   "OP[:NTH]: the NTH (default 1st) command with this opcode (hex) is never "
                   "answered; the device waits for the host's reset; repeatable");
    app.add_option("--reenumerate-at", reenumerates,
                   "OP[:NTH]: as --hang-at, and at the host's reset the device disconnects and "
                   "connects again (a new USB device for the host); repeatable");
    app.add_option("--slow-at", slows,
                   "OP[:NTH]: the answer to this command comes --slow-ms late; repeatable");
    app.add_option("--slow-ms", slow_ms, "delay of --slow-at, in milliseconds (default 1500)")
        ->check(CLI::Range(0, 3600000));
    CLI11_PARSE(app, argc, argv);
    std::vector<simgadget::WireFaultAt> faults;
    for (const auto& [list, kind] : {std::pair{&hangs, simgadget::WireFault::Hang},
                                     std::pair{&reenumerates, simgadget::WireFault::Reenumerate},
                                     std::pair{&slows, simgadget::WireFault::Slow}}) {
        for (const auto& text : *list) {
            const auto f = simgadget::parse_wire_fault(text, kind);
            if (!f) {
                std::fprintf(stderr, "simgadget: invalid fault '%s' (OP[:NTH], OP in hex)\n",
                             text.c_str());
                return 2;
            }
            faults.push_back(*f);
        }
    }
    if (bus_dir.empty()) {
        std::fprintf(stderr, "simgadget: no bus (--bus or SARNIK_SIM_BUS)\n");
        return 2;
    }
    if (g_name.empty() || g_name.find('/') != std::string::npos) {
        std::fprintf(stderr, "simgadget: invalid --name\n");
        return 2;
    }

    // SIGUSR1 only interrupts endpoint I/O; the main thread takes the others.
    struct sigaction sa {};
    sa.sa_handler = on_sigusr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocked transfers return EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    ::mkdir(ffs_root.c_str(), 0755);
    return run(bus_dir, id, udc, configfs, ffs_root, ready, stall_short_in,
               simgadget::WireFaultPlan(std::move(faults)), std::chrono::milliseconds(slow_ms));
}
