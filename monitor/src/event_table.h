// The device-change events the monitor knows, as data: each code with its
// platform name and what the monitor does with it. A code that is not in the
// table is ignored.
#pragma once

#include <cstdint>
#include <span>

namespace dorvel {

enum class EventAction { Recount, Ignored };

struct DeviceChangeEvent {
    uint16_t code;
    const char* name;
    EventAction action;
};

inline constexpr uint16_t kDevNodesChanged = 0x0007;
inline constexpr uint16_t kDeviceArrival = 0x8000;
inline constexpr uint16_t kDeviceRemoveComplete = 0x8004;

std::span<const DeviceChangeEvent> EventTable();

// The table entry of a code, or nullptr.
const DeviceChangeEvent* LookUpEvent(uint16_t code);

// True when the code is in the table with the recount action.
bool CausesRecount(uint16_t code);

}  // namespace dorvel
