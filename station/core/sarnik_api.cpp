#include "core/sarnik_api.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace galmor {

namespace {
thread_local const StopToken* t_stop = nullptr;

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string p(buf, static_cast<size_t>(n));
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

template <typename F>
bool Resolve(void* lib, const char* name, F& out, std::string* error) {
    out = reinterpret_cast<F>(dlsym(lib, name));
    if (!out && error) *error = std::string("libsarnik.so has no export ") + name;
    return out != nullptr;
}
}  // namespace

StopScope::StopScope(const StopToken* token) : previous_(t_stop) {
    t_stop = token;
}
StopScope::~StopScope() {
    t_stop = previous_;
}

void CheckStop() {
    if (t_stop && t_stop->requested()) throw StopRequested{};
}

bool Sarnik::Load(std::string* error) {
    if (loaded_) return true;
    void* lib = nullptr;
    std::string dir = ExecutableDir();
    // Beside the program first (a build tree or a portable folder), then by
    // the library's SONAME through the program's RUNPATH and the loader's
    // cache (an installed station), then the plain development name.
    if (!dir.empty()) lib = dlopen((dir + "/libsarnik.so").c_str(), RTLD_NOW | RTLD_LOCAL);
#ifdef SARNIK_SONAME
    if (!lib) lib = dlopen(SARNIK_SONAME, RTLD_NOW | RTLD_LOCAL);
#endif
    if (!lib) lib = dlopen("libsarnik.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        if (error) *error = std::string("cannot load libsarnik.so: ") + dlerror();
        return false;
    }
    bool ok = Resolve(lib, "fnFerrule_GetDiskHandle", x_.GetDiskHandle, error) &&
              Resolve(lib, "fnFerrule_GetCDHandle", x_.GetCDHandle, error) &&
              Resolve(lib, "fnFerrule_LockUnit", x_.LockUnit, error) &&
              Resolve(lib, "fnFerrule_UnlockUnit", x_.UnlockUnit, error) &&
              Resolve(lib, "fnFerrule_TestUnitReady", x_.TestUnitReady, error) &&
              Resolve(lib, "fnFerrule_Read", x_.Read, error) &&
              Resolve(lib, "fnFerrule_Write", x_.Write, error) &&
              Resolve(lib, "fnFerrule_VendorR", x_.VendorR, error) &&
              Resolve(lib, "fnFerrule_VendorW", x_.VendorW, error) &&
              Resolve(lib, "fnFerrule_VendorScan", x_.VendorScan, error) &&
              Resolve(lib, "fnFerrule_VendorWrite", x_.VendorWrite, error);
    if (!ok) {
        dlclose(lib);
        return false;
    }
    // A library without it still drives the disks; rows then name no USB port.
    x_.GetUnitLocation =
        reinterpret_cast<decltype(x_.GetUnitLocation)>(dlsym(lib, "fnFerrule_GetUnitLocation"));
    x_.GetUnitNode =
        reinterpret_cast<decltype(x_.GetUnitNode)>(dlsym(lib, "fnFerrule_GetUnitNode"));
    loaded_.store(true, std::memory_order_release);
    return true;
}

bool Sarnik::GetUnitLocation(int32_t h, UnitLocation* out) {
    if (!Ready() || !x_.GetUnitLocation || !out || h <= 0) return false;
    char port[64] = {};
    char serial[256] = {};
    int64_t sectors = 0;
    if (x_.GetUnitLocation(h, port, sizeof port, serial, sizeof serial, &sectors) != 1)
        return false;
    out->port = port;
    out->serial = serial;
    out->sectors = sectors;
    char node[256] = {};
    out->node = x_.GetUnitNode && x_.GetUnitNode(h, node, sizeof node) == 1 ? node : "";
    return true;
}

bool Sarnik::Ready() {
    CheckStop();
    if (loaded_.load(std::memory_order_acquire)) return true;
    unloaded_calls_.fetch_add(1);
    return false;
}

int32_t Sarnik::GetDiskHandle(int32_t index) {
    if (!Ready()) return 0;
    return x_.GetDiskHandle(index);
}
int32_t Sarnik::GetCDHandle(int32_t index) {
    if (!Ready()) return 0;
    return x_.GetCDHandle(index);
}
int32_t Sarnik::LockUnit(int32_t h) {
    if (!Ready()) return 0;
    return x_.LockUnit(h);
}
void Sarnik::UnlockUnit(int32_t h, int32_t lock) noexcept {
    // No stop check: a lock is released on every way out of a job.
    if (lock > 0 && loaded_.load(std::memory_order_acquire)) x_.UnlockUnit(h, lock);
}
int32_t Sarnik::TestUnitReady(int32_t h) {
    if (!Ready()) return 0;
    return x_.TestUnitReady(h);
}
int32_t Sarnik::Read(int32_t h, int32_t count, int32_t lba, void* buf) {
    if (!Ready()) return 0;
    return x_.Read(h, count, lba, buf);
}
int32_t Sarnik::Write(int32_t h, int32_t count, int32_t lba, void* buf) {
    if (!Ready()) return 0;
    return x_.Write(h, count, lba, buf);
}
int32_t Sarnik::VendorR(int32_t h, int32_t c0, void* buf) {
    if (!Ready()) return 0;
    return x_.VendorR(h, c0, buf);
}
int32_t Sarnik::VendorW(int32_t h, int32_t c0, int32_t length, void* buf) {
    if (!Ready()) return 0;
    return x_.VendorW(h, c0, length, buf);
}
int32_t Sarnik::VendorScan(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3, int32_t c4,
                           int32_t c5, int32_t length, void* buf) {
    if (!Ready()) return 0;
    return x_.VendorScan(h, c0, c1, c2, c3, c4, c5, length, buf);
}
int32_t Sarnik::VendorWrite(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3, int32_t c4,
                            int32_t c5, int32_t c6, int32_t c7, int32_t c8, int32_t count,
                            void* buf) {
    if (!Ready()) return 0;
    return x_.VendorWrite(h, c0, c1, c2, c3, c4, c5, c6, c7, c8, count, buf);
}

int16_t Sarnik::KillEXE() {
    return 0;
}

void Sarnik::CloseHandle(int32_t h) {
    if (h > 0) close(h);
}

}  // namespace galmor
