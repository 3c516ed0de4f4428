// Write protect and password: the "Check WP" item and the password page
// clearing that follows a good format.
#include "controller/controller.h"
#include "controller/step_guard.h"
#include "controller/steps.h"
#include "core/station.h"
#include "ui/grid.h"

namespace galmor {

namespace {

constexpr int16_t kStatusDeviceInfoUnreadable = 0x75;
// Setup page 2 of the controller (sub-command 0x9C, bytes 09 00 00 02 00).
constexpr int kSetupPageSelector = 0x09;
constexpr int kSetupPage2 = 0x02;
// Bytes of setup page 2 that must both be 0 before the page is cleared.
constexpr size_t kPasswordByte1 = 129;
constexpr size_t kPasswordByte2 = 130;

}  // namespace

std::optional<int> ReadWriteProtectState(Station& st, int16_t port) {
    PortRecord* p = PortAt(st.ports, port);
    if (!p) return std::nullopt;
    st.lib.TestUnitReady(p->Handle);
    st.lib.TestUnitReady(p->Handle);
    if (st.lib.VendorR(p->Handle, sub::kDeviceInfo, p->ReplyBuffer.data()) != 1) {
        p->ErrorStatus = kStatusDeviceInfoUnreadable;
        return std::nullopt;
    }
    switch (p->ReplyBuffer[devinfo::kWpSwitch]) {
        case 1:
            return 0;
        case 0:
            return 1;
        default:
            return std::nullopt;
    }
}

void CheckWriteProtect(Station& st, int16_t index) {
    if (index < 0 || index >= kMaxPorts) return;
    PortRecord& p = st.ports[index];
    WindowModel& m = st.model;
    int protectedState = 0;
    StepAction(p, [&] { protectedState = ReadWriteProtectState(st, index + 1).value_or(0); });
    if (p.ErrorStatus != 0) {
        StepAction(p, [&] { m.SetVisible("CCG", index, true); });
        StepAction(p, [&] { m.SetCaption("CCG", index, "Check Write Protect Fail!"); });
        st.AnyFailed = true;
    } else if (protectedState != 0) {
        StepAction(p, [&] { m.SetVisible("CCG", index, true); });
        StepAction(p, [&] { m.SetCaption("CCG", index, "Write Protected"); });
    } else {
        // Shown as a failure in its own column and picture only.
        StepAction(p, [&] { m.SetVisible("CCR", index, true); });
        StepAction(p, [&] { m.SetCaption("CCR", index, "Not Write Protected"); });
        StepAction(p, [&] { m.SetPicture("ThumbImage", index, kPictureFailed); });
    }
}

// Page 2 is cleared only from a page actually read: when the read fails,
// whatever the reply buffer held before is not a reason to overwrite the
// controller's page.
void ClearIllegalUserPassword(Station& st, int16_t port) {
    PortRecord* p = PortAt(st.ports, port);
    if (!p) return;
    const int32_t read = st.lib.VendorScan(p->Handle, sub::kSetupRead, kSetupPageSelector, 0, 0,
                                           kSetupPage2, 0, kSector, p->ReplyBuffer.data());
    if (read != 1) return;
    if (p->ReplyBuffer[kPasswordByte1] != 0 || p->ReplyBuffer[kPasswordByte2] != 0) return;
    p->SectorBuffer.fill(0);
    st.lib.VendorW(p->Handle, sub::kSetupWrite, kSector, p->SectorBuffer.data());
    st.lib.VendorScan(p->Handle, sub::kPasswordApply, 0, 0, 0, 0, 0, kSector,
                      p->ReplyBuffer.data());
}

}  // namespace galmor
