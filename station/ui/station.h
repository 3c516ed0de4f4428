// The whole station as the program runs it: the station below the window,
// the window model and the view that connects them.
#pragma once

#include "run/run.h"
#include "run/station.h"
#include "ui/model.h"
#include "ui/model_view.h"

namespace galmor {

struct Station : StationCore {
    WindowModel model;
    ModelStationView window{model};

    Station() { SetView(&window); }
    // Every worker is stopped and joined while the window still exists.
    ~Station() override { StopStationWorkers(*this); }
};

}  // namespace galmor
