// Fuzzes the monitor's reading of kernel device events: any datagram either
// is refused or gives an event with an action, a path and a subsystem, whose
// code (if any) is one of the event table.
// fuzz-sources: monitor/src/uevent.cpp monitor/src/event_table.cpp
#include <cstdint>
#include <cstdlib>

#include "event_table.h"
#include "uevent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto e = dorvel::ParseKernelUEvent(reinterpret_cast<const char*>(data), size);
    if (!e) return 0;
    if (e->action.empty() || e->devpath.empty() || e->subsystem.empty()) std::abort();
    if (const auto code = dorvel::TranslateUEvent(*e); code && !dorvel::LookUpEvent(*code)) {
        std::abort();
    }
    return 0;
}
