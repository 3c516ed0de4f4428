// The exported C functions. Each picks the platform for this call (the
// environment is read every time) and runs one command; no exception leaves
// the library: an unexpected one makes the result 0.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "commands.h"
#include "sarnik.h"
#include "services.h"

namespace {

using sarnik::Platform;

template <class F>
int32_t guarded(F&& f) noexcept {
    try {
        auto p = sarnik::make_platform();
        if (!p) return 0;
        return f(*p);
    } catch (...) {
        return 0;
    }
}

// An open: the errno it ends with is the caller's (the platform's clean-up
// must not overwrite it).
template <class F>
int32_t opened(F&& f) noexcept {
    int err = 0;
    const int32_t h = guarded([&](Platform& p) {
        errno = 0;
        const int32_t r = f(p);
        err = r > 0 ? 0 : errno;
        return r;
    });
    errno = err;
    return h;
}

}  // namespace

namespace cmd = sarnik::cmd;
namespace svc = sarnik::svc;

extern "C" {

SARNIK_API int32_t fnFerrule_GetDiskHandle(int32_t index) {
    return opened([&](Platform& p) { return cmd::open_unit(p, sarnik::UnitClass::Disk, index); });
}

SARNIK_API int32_t fnFerrule_GetCDHandle(int32_t index) {
    return opened([&](Platform& p) { return cmd::open_unit(p, sarnik::UnitClass::Cdrom, index); });
}

SARNIK_API int32_t fnFerrule_LockUnit(int32_t handle) {
    if (handle <= 0) {
        errno = EBADF;
        return 0;
    }
    int err = 0;
    const int32_t lock = guarded([&](Platform& p) {
        const int l = p.lock_unit(handle);
        err = l > 0 ? 0 : errno;
        return l > 0 ? l : 0;
    });
    errno = err;
    return lock;
}

SARNIK_API void fnFerrule_UnlockUnit(int32_t handle, int32_t lock) {
    guarded([&](Platform& p) {
        p.unlock_unit(handle, lock);
        return 1;
    });
}

SARNIK_API int32_t fnFerrule_TestUnitReady(int32_t handle) {
    return guarded([&](Platform& p) { return cmd::test_unit_ready(p, handle); });
}

SARNIK_API int32_t fnFerrule_Read(int32_t handle, int32_t count, int32_t lba, void* buffer) {
    return guarded([&](Platform& p) { return cmd::read10(p, handle, count, lba, buffer); });
}

// One function under two names.
SARNIK_API int32_t fnFerrule_ReadS(int32_t handle, int32_t count, int32_t lba, void* buffer)
    __attribute__((alias("fnFerrule_Read")));

SARNIK_API int32_t fnFerrule_Write(int32_t handle, int32_t count, int32_t lba, void* buffer) {
    return guarded([&](Platform& p) { return cmd::write10(p, handle, count, lba, buffer); });
}

SARNIK_API int32_t fnFerrule_Read25Capacity(int32_t handle, void* buffer) {
    return guarded([&](Platform& p) { return cmd::read_capacity10(p, handle, buffer); });
}

SARNIK_API int32_t fnFerrule_Eject(int32_t handle, int32_t opcode, int32_t byte4) {
    return guarded([&](Platform& p) { return cmd::eject(p, handle, opcode, byte4); });
}

SARNIK_API int32_t fnFerrule_ModeSense(int32_t handle) {
    return guarded([&](Platform& p) { return cmd::mode_sense(p, handle); });
}

SARNIK_API int32_t fnFerrule_Inquiry(int32_t handle) {
    return guarded([&](Platform& p) { return cmd::drive_layout(p, handle); });
}

SARNIK_API int32_t fnFerrule_ScsiReScan(int32_t handle) {
    return guarded([&](Platform& p) { return cmd::rescan(p, handle); });
}

SARNIK_API int32_t fnFerrule_VendorR(int32_t handle, int32_t c0, void* buffer) {
    return guarded([&](Platform& p) { return cmd::vendor_r(p, handle, c0, buffer); });
}

SARNIK_API int32_t fnFerrule_VendorW(int32_t handle, int32_t c0, int32_t length, void* buffer) {
    return guarded([&](Platform& p) { return cmd::vendor_w(p, handle, c0, length, buffer); });
}

SARNIK_API int32_t fnFerrule_Vendor(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                    int32_t length) {
    return guarded([&](Platform& p) { return cmd::vendor(p, handle, c0, c1, c2, length); });
}

SARNIK_API int32_t fnFerrule_VendorScan(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t length,
                                        void* buffer) {
    const int32_t c[6] = {c0, c1, c2, c3, c4, c5};
    return guarded([&](Platform& p) { return cmd::vendor_scan(p, handle, c, length, buffer); });
}

SARNIK_API int32_t fnFerrule_1mWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2, int32_t c3,
                                     int32_t c4, int32_t c5, int32_t c6, int32_t c7, int32_t c8,
                                     int32_t c9, int32_t c10, int32_t c11, int32_t c12,
                                     void* buffer) {
    const int32_t c[13] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11, c12};
    return guarded([&](Platform& p) { return cmd::write_1m(p, handle, c, buffer); });
}

SARNIK_API int32_t fnFerrule_1mRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2, int32_t c3,
                                    int32_t c4, int32_t c5, int32_t c6, int32_t c7, int32_t c8,
                                    int32_t c9, int32_t c10, int32_t c11, int32_t c12,
                                    int32_t /*ignored1*/, int32_t /*ignored2*/) {
    const int32_t c[13] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11, c12};
    return guarded([&](Platform& p) { return cmd::read_1m(p, handle, c); });
}

SARNIK_API int32_t fnFerrule_VendorWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                         int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                         int32_t c8, int32_t count, void* buffer) {
    const int32_t c[9] = {c0, c1, c2, c3, c4, c5, c6, c7, c8};
    return guarded([&](Platform& p) { return cmd::vendor_write(p, handle, c, count, buffer); });
}

SARNIK_API int32_t fnFerrule_VendorRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                        int32_t c8, int32_t count, void* buffer) {
    const int32_t c[9] = {c0, c1, c2, c3, c4, c5, c6, c7, c8};
    return guarded([&](Platform& p) { return cmd::vendor_read(p, handle, c, count, buffer); });
}

SARNIK_API int32_t fnFerrule_GetUnitLocation(int32_t handle, char* port, int32_t port_length,
                                             char* serial, int32_t serial_length,
                                             int64_t* sectors) {
    if (handle <= 0) return 0;
    return guarded([&](Platform& p) {
        const auto where = p.unit_location(handle);
        if (!where) return 0;
        const auto put = [](const std::string& text, char* out, int32_t length) {
            if (!out || length <= 0) return;
            const size_t n = std::min(text.size(), static_cast<size_t>(length) - 1);
            std::memcpy(out, text.data(), n);
            out[n] = '\0';
        };
        put(where->port, port, port_length);
        put(where->serial, serial, serial_length);
        if (sectors) *sectors = static_cast<int64_t>(where->sectors);
        return 1;
    });
}

SARNIK_API int32_t fnFerrule_GetUnitNode(int32_t handle, char* node, int32_t node_length) {
    if (handle <= 0 || !node || node_length <= 0) return 0;
    return guarded([&](Platform& p) {
        const auto where = p.unit_location(handle);
        if (!where || where->node.empty()) return 0;
        const size_t n = std::min(where->node.size(), static_cast<size_t>(node_length) - 1);
        std::memcpy(node, where->node.data(), n);
        node[n] = '\0';
        return 1;
    });
}

SARNIK_API int32_t fnFerrule_ReadCapacity(int32_t handle, void* buffer) {
    return guarded([&](Platform& p) { return cmd::vendor_capacity(p, handle, buffer); });
}

SARNIK_API int32_t fnFerrule_SetConfiguration(void) {
    return guarded([&](Platform& p) { return cmd::set_configuration(p); });
}

SARNIK_API int32_t ResetDevice(const uint16_t* pattern, int32_t action) {
    return guarded([&](Platform& p) {
        return pattern ? svc::reset_device(p, svc::utf8_of(pattern), action) : 0;
    });
}

SARNIK_API int32_t ResetDevice98(const char* pattern, int32_t action) {
    return guarded(
        [&](Platform& p) { return pattern ? svc::reset_device98(p, pattern, action) : 0; });
}

SARNIK_API int32_t fnFerrule_FormatEx(int32_t drive) {
    // An unexpected exception is a failed format, not a success.
    try {
        auto p = sarnik::make_platform();
        return p ? svc::format_ex(*p, drive) : svc::kFormatFailed;
    } catch (...) {
        return svc::kFormatFailed;
    }
}

SARNIK_API int32_t fnFerrule_GetDriverName(void) {
    return guarded([&](Platform& p) { return svc::get_driver_name(p); });
}

SARNIK_API void Suicide(const char* module) {
    try {
        svc::suicide(module);
    } catch (...) {
        _exit(1);
    }
}

SARNIK_API intptr_t Address(intptr_t value) {
    return value;
}

}  // extern "C"
