// The station's start-up, shared by every program that keeps a station: the
// recipe, the monitor link and the first discovery, in the window's order.
#pragma once

#include <functional>
#include <string>

namespace galmor {

struct Station;
class MonitorLink;

enum class StartUpResult {
    Started,
    RecipeRejected,  // its messages are in the model (or were shown)
    Stopped,         // the step after the recipe said no (the log did not open)
};

struct StartUpSteps {
    // The link to the monitor; null for a station that sees devices only at
    // start-up (a one-shot run).
    MonitorLink* link = nullptr;
    // The folder dorvel is started from (the station's own).
    std::string monitor_folder;
    bool monitor_verbose = false;
    // A station that exists to watch ends when it cannot take the notices
    // (another station on the same folder takes them) rather than run deaf.
    bool hook_required = false;
    // Runs once the recipe is accepted, before the monitor starts (the
    // program opens its production log here); false ends the start-up.
    std::function<bool()> after_recipe;
    // Why a part of the link is missing, for the program's error output.
    std::function<void(const std::string&)> warn;
};

// In order: autorun off and the hook installed (with a link; when it is
// required and cannot be installed, Stopped before the recipe), the recipe and
// its summary, `after_recipe`, dorvel started (its failure shows "Load
// Dorvel.exe Fail !!!" and the station goes on), the first discovery.
StartUpResult StartStation(Station& st, const StartUpSteps& steps);

}  // namespace galmor
