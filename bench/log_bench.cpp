// What the production log costs per disk: one serial reservation (a random
// draw with a prefix) and one record, written the way the run writes them,
// against the SQLite file and against a local PostgreSQL server with fsync
// on. Prints the mean, median and 95th percentile per disk in milliseconds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pg_server.h"
#include "prodlog/serials.h"
#include "prodlog/store.h"

namespace {

using namespace galmor::prodlog;
using Clock = std::chrono::steady_clock;

constexpr int kDisks = 300;

DiskRecord Finished(int port, const std::string& serial) {
    DiskRecord r;
    r.logged_at = UtcNow();
    r.station = "bench";
    r.run_id = "bench-run";
    r.port = port % 8;
    r.device_path = "/dev/sg" + std::to_string(port % 8);
    r.recipe_digest = std::string(64, 'a');
    r.recipe_files = {"Product.ini " + std::string(64, 'b'), "loader.iso " + std::string(64, 'c'),
                      "reserve.bin " + std::string(64, 'd')};
    r.items = {"format", "manufacture", "check-config"};
    r.usb_vid = 0x1234;
    r.usb_pid = 0x5678;
    r.bcd_device = 0x0105;
    r.usb_manufacturer = "Maker";
    r.usb_product = "Flash Disk";
    r.scsi_vendor = "Maker";
    r.scsi_product = "Flash Disk";
    r.serial = serial;
    r.serial_reserved = true;
    r.passed = true;
    r.columns = {{"format", "V", "1 Chip(s)   64 MB"},
                 {"config_string", "String = V", "Write = V"},
                 {"check_config", "V", "Pass"},
                 {"check_wp", "", ""}};
    r.steps = {
        {"format", 2.1}, {"clear-password", 0.01}, {"manufacture", 0.02}, {"check-config", 0.3}};
    return r;
}

bool Measure(const char* name, Store& store) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> pick(0, 0x5F5E);
    std::vector<double> ms;
    for (int disk = 0; disk < kDisks; ++disk) {
        const auto t0 = Clock::now();
        SerialRequest req;
        req.vid = 0x1234;
        req.pid = 0x5678;
        req.prefix = "ABC";
        req.station = "bench";
        req.run_id = "bench-run";
        const SerialOutcome o = ReserveSerial(&store, req, [&] {
            char buf[16];
            std::snprintf(buf, sizeof buf, "ABC0%04X", pick(gen));
            return std::string(buf);
        });
        if (!o.ok) {
            std::fprintf(stderr, "%s: %s\n", name, o.message.c_str());
            return false;
        }
        DiskRecord r = Finished(disk, o.serial);
        const LogResult s = store.Append(&r);
        if (!s.ok) {
            std::fprintf(stderr, "%s: %s\n", name, s.message.c_str());
            return false;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    double sum = 0;
    for (double v : ms) sum += v;
    std::sort(ms.begin(), ms.end());
    std::printf("| %s | %d | %.2f | %.2f | %.2f |\n", name, kDisks, sum / kDisks, ms[ms.size() / 2],
                ms[ms.size() * 95 / 100]);
    return true;
}

// The floor under any durable log on this machine: one 4 KiB write and
// fdatasync, as a commit costs at least.
void MeasureFlush(const std::string& folder) {
    const std::string file = folder + "/flush";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    std::vector<char> page(4096, 'x');
    std::vector<double> ms;
    for (int i = 0; i < kDisks; ++i) {
        const auto t0 = Clock::now();
        if (::pwrite(fd, page.data(), page.size(), static_cast<off_t>(i) * 4096) < 0 ||
            ::fdatasync(fd) != 0) {
            break;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(fd);
    if (ms.empty()) return;
    double sum = 0;
    for (double v : ms) sum += v;
    std::sort(ms.begin(), ms.end());
    std::printf("| one 4 KiB write + fdatasync (reference) | %d | %.2f | %.2f | %.2f |\n",
                static_cast<int>(ms.size()), sum / ms.size(), ms[ms.size() / 2],
                ms[ms.size() * 95 / 100]);
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/galmor-log-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::printf(
        "| store | disks | mean ms/disk | median | 95th percentile |\n|---|---|---|---|---|\n");
    bool ok = true;
    MeasureFlush(tmpl);
    {
        std::string error;
        auto store = OpenSqliteStore(std::string(tmpl) + "/production.db", &error);
        if (!store) {
            std::fprintf(stderr, "%s\n", error.c_str());
            ok = false;
        } else {
            ok = Measure("SQLite (WAL, synchronous=FULL)", *store) && ok;
        }
    }
    std::filesystem::remove_all(tmpl);

    std::string skip;
    ufdtest::PgServer* pg = ufdtest::PgServer::Get(&skip, true);
    if (!pg) {
        std::printf("PostgreSQL: %s\n", skip.c_str());
        return ok ? 0 : 1;
    }
    if (!pg->ok()) {
        std::fprintf(stderr, "%s\n", pg->error().c_str());
        return 1;
    }
    std::string error;
    auto store = OpenStore(pg->NewDatabase(), &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ok = Measure("PostgreSQL (local socket, fsync on)", *store) && ok;
    return ok ? 0 : 1;
}
