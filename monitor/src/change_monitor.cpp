#include "change_monitor.h"

#include "event_table.h"

namespace dorvel {

int CountUsbDisks(const PathAt& path_at) {
    int n = 0;
    for (uint32_t i = 0; i < kIndexesExamined; ++i) {
        const auto path = path_at(i);
        if (path && path->find(kUsbDiskMarker) != std::string::npos) ++n;
    }
    return n;
}

ChangeMonitor::Outcome ChangeMonitor::OnEvent(uint16_t code) {
    if (!CausesRecount(code)) return Outcome::Ignored;
    if (busy_) {
        dirty_ = true;
        return Outcome::Deferred;
    }
    RunRecount();
    return Outcome::Recounted;
}

bool ChangeMonitor::OnPauseEnded() {
    busy_ = false;
    if (!dirty_) return false;
    dirty_ = false;
    RunRecount();
    return true;
}

void ChangeMonitor::RunRecount() {
    busy_ = true;
    last_ = Recount{};
    last_.count = hooks_.count();
    if (last_.count > last_count_) {
        last_.notice = "IN";
    } else if (last_.count < last_count_) {
        last_.notice = "OU";
    }
    // A notice that finds no listener is dropped; the count is kept anyway, so
    // the same change is not reported twice.
    if (!last_.notice.empty()) last_.delivered = hooks_.send(last_.notice);
    last_count_ = last_.count;
    hooks_.start_pause();
}

}  // namespace dorvel
