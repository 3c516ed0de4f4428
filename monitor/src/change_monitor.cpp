#include "change_monitor.h"

#include <algorithm>

#include "event_table.h"

namespace dorvel {

std::set<std::string> UsbDisks(const PathAt& path_at) {
    std::set<std::string> out;
    for (uint32_t i = 0; i < kIndexesExamined; ++i) {
        auto path = path_at(i);
        if (path && path->find(kUsbDiskMarker) != std::string::npos) out.insert(std::move(*path));
    }
    return out;
}

void ChangeMonitor::TakeFirstCount() {
    last_disks_ = hooks_.disks();
    last_ = Recount{};
    last_.count = last_count();
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
    std::set<std::string> now = hooks_.disks();
    const auto missing_from = [](const std::set<std::string>& a, const std::set<std::string>& b) {
        return std::any_of(a.begin(), a.end(), [&](const std::string& p) { return !b.count(p); });
    };
    last_ = Recount{};
    last_.count = static_cast<int>(now.size());
    if (missing_from(last_disks_, now)) last_.notices.push_back({"OU"});
    if (missing_from(now, last_disks_)) last_.notices.push_back({"IN"});
    // A notice that finds no listener is dropped; the set is kept anyway, so
    // the same change is not reported twice.
    for (auto& n : last_.notices) n.delivered = hooks_.send(n.text);
    last_disks_ = std::move(now);
    hooks_.start_pause();
}

}  // namespace dorvel
