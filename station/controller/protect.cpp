// Write protect and password: the "Check WP" item and the password page
// clearing that follows a good format.
#include "controller/controller.h"
#include "controller/step_guard.h"
#include "controller/steps.h"

namespace galmor {

namespace {

// Setup page 2 of the controller (sub-command 0x9C, bytes 09 00 00 02 00).
constexpr int kSetupPageSelector = 0x09;
constexpr int kSetupPage2 = 0x02;
// Bytes of setup page 2 that must both be 0 before the page is cleared.
constexpr size_t kPasswordByte1 = 129;
constexpr size_t kPasswordByte2 = 130;

}  // namespace

std::optional<WpState> ReadWriteProtectState(const PortJob& job) {
    PortRecord* p = &job.port;
    job.lib.TestUnitReady(p->Handle);
    job.lib.TestUnitReady(p->Handle);
    if (job.lib.VendorR(p->Handle, sub::kDeviceInfo, p->ReplyBuffer.data()) != 1) {
        p->ErrorStatus = Code(Status::DeviceInfoUnreadable);
        return std::nullopt;
    }
    switch (p->ReplyBuffer[devinfo::kWpSwitch]) {
        case 1:
            return WpState::Writable;
        case 0:
            return WpState::Protected;
        default:
            return std::nullopt;
    }
}

void CheckWriteProtect(const PortJob& job) {
    PortRecord& p = job.port;
    PortView& v = job.view;
    WpState state = WpState::Writable;
    StepAction(p, [&] { state = ReadWriteProtectState(job).value_or(WpState::Writable); });
    if (p.ErrorStatus != 0) {
        StepAction(p, [&] { v.ShowMark(Column::CheckWp, true); });
        StepAction(p, [&] { v.SetMark(Column::CheckWp, "Check Write Protect Fail!"); });
        job.Fail();
    } else if (state == WpState::Protected) {
        StepAction(p, [&] { v.ShowMark(Column::CheckWp, true); });
        StepAction(p, [&] { v.SetMark(Column::CheckWp, "Write Protected"); });
    } else {
        // Shown as a failure in its own column and picture only.
        StepAction(p, [&] { v.ShowText(Column::CheckWp, true); });
        StepAction(p, [&] { v.SetText(Column::CheckWp, "Not Write Protected"); });
        StepAction(p, [&] { v.SetPicture(Picture::Failed); });
    }
}

// Page 2 is cleared only from a page actually read: when the read fails,
// whatever the reply buffer held before is not a reason to overwrite the
// controller's page.
void ClearIllegalUserPassword(const PortJob& job) {
    PortRecord* p = &job.port;
    SarnikApi& lib = job.lib;
    const int32_t read = lib.VendorScan(p->Handle, sub::kSetupRead, kSetupPageSelector, 0, 0,
                                        kSetupPage2, 0, kSector, p->ReplyBuffer.data());
    if (read != 1) return;
    if (p->ReplyBuffer[kPasswordByte1] != 0 || p->ReplyBuffer[kPasswordByte2] != 0) return;
    p->SectorBuffer.fill(0);
    lib.VendorW(p->Handle, sub::kSetupWrite, kSector, p->SectorBuffer.data());
    lib.VendorScan(p->Handle, sub::kPasswordApply, 0, 0, 0, 0, 0, kSector, p->ReplyBuffer.data());
}

}  // namespace galmor
