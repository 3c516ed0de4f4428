// Faults of the USB front end: what a device does on the wire that the device
// model cannot express, because it happens between the host and the model (a
// command never answered, an answer that comes late, a device that drops off
// the bus and comes back as a new one). Picked by the opcode (CDB byte 0) and
// its occurrence, counted over every command the gadget receives, as the
// bus's own --fail and --unplug-at count them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace simgadget {

enum class WireFault {
    Hang,         // never answered: waits for the host's reset
    Reenumerate,  // never answered; at the host's reset the device disconnects
                  // and connects again, so the host enumerates it afresh
    Slow,         // answered after a delay
};

struct WireFaultAt {
    uint8_t opcode = 0;
    uint32_t nth = 1;
    WireFault kind = WireFault::Hang;
};

// "OP[:NTH]": opcode in hexadecimal, occurrence from 1 (default 1). Nothing
// when the text is malformed.
std::optional<WireFaultAt> parse_wire_fault(const std::string& text, WireFault kind);

class WireFaultPlan {
  public:
    explicit WireFaultPlan(std::vector<WireFaultAt> faults) : faults_(std::move(faults)) {}
    // Counts a command with this opcode; the fault it meets, if any.
    std::optional<WireFault> next(uint8_t opcode);

  private:
    std::vector<WireFaultAt> faults_;
    std::map<uint8_t, uint64_t> seen_;
};

}  // namespace simgadget
