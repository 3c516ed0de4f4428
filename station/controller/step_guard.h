// Helpers shared by the controller and check steps of a production run.
#pragma once

#include <exception>

#include "core/port.h"
#include "core/status.h"

namespace galmor {

// Runs one action of a step. An unexpected error inside it marks the port
// with 0x87 and the step carries on with its next action. A worker's stop
// request is not an error and passes through.
template <typename F>
void StepAction(PortRecord& port, F&& action) {
    try {
        action();
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::InternalError);
    }
}

}  // namespace galmor
