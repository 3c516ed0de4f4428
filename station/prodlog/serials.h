// Serial numbers through the log: a drawn serial is reserved (unique per USB
// vendor id, product id and serial) before it goes to a controller; a draw
// that someone already holds is drawn again, up to a bound.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "prodlog/store.h"

namespace galmor::prodlog {

// Draws per disk before the serial space counts as exhausted. With a
// 3-character prefix a draw has 24,415 values; 4,096 draws that all collide
// mean that well over 99 % of them are taken.
constexpr int kSerialDrawBound = 4096;
// Most draws sent to the store at once.
constexpr int kSerialDrawBatch = 256;

struct SerialRequest {
    uint16_t vid = 0, pid = 0;
    // The recipe sets one serial for every disk (a full 8-character value,
    // or none at all): it is logged but not reserved.
    bool fixed = false;
    std::string prefix;  // configured prefix, for the message; empty when none
    std::string station, run_id;
    int bound = kSerialDrawBound;
};

struct SerialOutcome {
    bool ok = false;
    std::string serial;     // the serial to write when ok
    bool reserved = false;  // held in the log for this disk
    std::string message;    // why not ok, for the operator
};

// Draws with `draw` and reserves in `store`. Without a store (no log) or
// with a fixed serial, the first draw is the answer. A store that fails
// fails the disk: a serial that cannot be reserved is never handed out.
SerialOutcome ReserveSerial(Store* store, const SerialRequest& req,
                            const std::function<std::string()>& draw);

// The message of a prefix whose serial space is (nearly) used up.
std::string ExhaustedMessage(const SerialRequest& req);

}  // namespace galmor::prodlog
