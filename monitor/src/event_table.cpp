#include "event_table.h"

#include <array>

namespace dorvel {

namespace {

constexpr std::array<DeviceChangeEvent, 11> kTable{{
    {0x0007, "DBT_DEVNODES_CHANGED", EventAction::Recount},
    {0x0017, "DBT_QUERYCHANGECONFIG", EventAction::Recount},
    {0x0018, "DBT_CONFIGCHANGED", EventAction::Recount},
    {0x0019, "DBT_CONFIGCHANGECANCELED", EventAction::Recount},
    {0x001B, "DBT_MONITORCHANGE", EventAction::Recount},
    {0x8000, "DBT_DEVICEARRIVAL", EventAction::Ignored},
    {0x8001, "DBT_DEVICEQUERYREMOVE", EventAction::Ignored},
    {0x8002, "DBT_DEVICEQUERYREMOVEFAILED", EventAction::Ignored},
    {0x8003, "DBT_DEVICEREMOVEPENDING", EventAction::Ignored},
    {0x8004, "DBT_DEVICEREMOVECOMPLETE", EventAction::Ignored},
    {0x8005, "DBT_DEVICETYPESPECIFIC", EventAction::Ignored},
}};

}  // namespace

std::span<const DeviceChangeEvent> EventTable() {
    return kTable;
}

const DeviceChangeEvent* LookUpEvent(uint16_t code) {
    for (const auto& e : kTable) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

bool CausesRecount(uint16_t code) {
    const DeviceChangeEvent* e = LookUpEvent(code);
    return e && e->action == EventAction::Recount;
}

}  // namespace dorvel
