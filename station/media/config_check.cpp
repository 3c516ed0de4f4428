// The "Check Config" item: the stored configuration block against the one the
// recipe gives.
#include "controller/controller.h"
#include "controller/step_guard.h"
#include "controller/steps.h"
#include "core/station.h"
#include "media/media.h"
#include "ui/grid.h"

namespace galmor {

// g++ 12 at -O3 warns that assigning a literal to a std::string here may
// overlap (a false positive inside libstdc++, GCC bug 105329); only that
// warning, only for this function, only for g++.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
void TestCopyAndCompareFile(Station& st, int16_t index) {
    if (index < 0 || index >= kMaxPorts) return;
    PortRecord& p = st.ports[index];
    WindowModel& m = st.model;
    StepAction(p, [&] { ShowPair(st, "CC1mG", "CC1mR", index); });
    int result = 0;
    StepAction(p, [&] { result = VerifyConfigBlock(st, index + 1); });
    std::string mark = "V";
    std::string text;
    if (result != 2) {
        st.AnyFailed = true;
        StepAction(p, [&] { m.SetPicture("ThumbImage", index, kPictureFailed); });
        mark = "X";
        text = "Error Status = " + HexPad(static_cast<uint16_t>(p.ErrorStatus.load()), 2, false);
    }
    StepAction(p, [&] { m.SetCaption("CC1mG", index, mark); });
    StepAction(p, [&] { m.SetCaption("CC1mR", index, text); });
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace galmor
