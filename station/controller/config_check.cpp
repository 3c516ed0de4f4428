// The "Check Config" item: the stored configuration block against the one the
// recipe gives.
#include "controller/step_guard.h"
#include "controller/steps.h"
#include "core/status.h"

namespace galmor {

void TestCopyAndCompareFile(const PortJob& job) {
    PortRecord& p = job.port;
    PortView& v = job.view;
    StepAction(p, [&] { v.ShowColumn(Column::CheckConfig); });
    VerifyResult result = VerifyResult::Unreadable;
    StepAction(p, [&] { result = VerifyConfigBlock(job); });
    const bool matches = result == VerifyResult::Matches;
    std::string text;
    if (!matches) {
        job.Fail();
        StepAction(p, [&] { v.SetPicture(Picture::Failed); });
        text = ErrorStatusText(p.ErrorStatus.load());
    }
    StepAction(p, [&] { v.SetMark(Column::CheckConfig, matches ? "V" : "X"); });
    StepAction(p, [&] { v.SetText(Column::CheckConfig, text); });
}

}  // namespace galmor
