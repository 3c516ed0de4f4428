// Helpers shared by the controller and check steps of a production run.
#pragma once

#include <cstdint>
#include <exception>

#include "core/port.h"

namespace galmor {

// Status of an unexpected internal error inside the configuration, check and
// write-protect steps.
constexpr int16_t kStatusInternalError = 0x87;

// The port record of a 1-based port number, or nullptr when out of range.
inline PortRecord* PortAt(PortTable& ports, int port) {
    return port >= 1 && port <= kMaxPorts ? &ports[port - 1] : nullptr;
}

// Runs one action of a step. An unexpected error inside it marks the port
// with 0x87 and the step carries on with its next action. A worker's stop
// request is not an error and passes through.
template <typename F>
void StepAction(PortRecord& port, F&& action) {
    try {
        action();
    } catch (const std::exception&) {
        port.ErrorStatus = kStatusInternalError;
    }
}

}  // namespace galmor
