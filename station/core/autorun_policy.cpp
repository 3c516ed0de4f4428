#include "core/autorun_policy.h"

namespace galmor {

bool AutorunPolicy::TurnOff() {
    if (written_ || !store_.Open()) return false;
    bool ok = false;
    found_ = store_.Read(&ok);
    // Without knowing what was there, nothing could be put back: leave it.
    if (ok) written_ = store_.Write(kAutorunOffForAllDrives);
    store_.Close();
    if (written_) store_.Announce();
    return written_;
}

bool AutorunPolicy::Restore() {
    if (!written_ || !store_.Open()) return false;
    written_ = false;
    bool ok = false;
    const auto now = store_.Read(&ok);
    bool wrote = false;
    if (ok && now == kAutorunOffForAllDrives) {
        wrote = found_ ? store_.Write(*found_) : store_.Remove();
    }
    store_.Close();
    if (wrote) store_.Announce();
    return wrote;
}

}  // namespace galmor
