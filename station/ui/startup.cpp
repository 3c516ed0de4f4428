#include "ui/startup.h"

#include "core/monitor_link.h"
#include "run/discovery.h"
#include "run/production_log.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace galmor {

StartUpResult StartStation(Station& st, const StartUpSteps& steps) {
    const auto warn = [&](const std::string& why) {
        if (steps.warn) steps.warn(why);
    };
    std::string error;
    if (steps.link) {
        steps.link->TurnOffAutorun();
        if (!steps.link->InstallHook(&error)) {
            if (steps.hook_required) {
                warn(error + "; a watching station needs the device notices, so it ends");
                return StartUpResult::Stopped;
            }
            warn(error + "; device changes are not seen");
        }
    }
    if (!ShowProductSettings(st)) return StartUpResult::RecipeRejected;
    if (steps.after_recipe && !steps.after_recipe()) return StartUpResult::Stopped;
    if (steps.link &&
        !steps.link->StartMonitor(steps.monitor_folder, steps.monitor_verbose, &error)) {
        warn(error);
        st.model.ShowMessage(kMonitorLoadFail, Icon::None);
    }
    PollingDiskStatus(st, true);
    ShowUnverifiedDisks(st);
    return StartUpResult::Started;
}

}  // namespace galmor
