// The window's rolling controls: the "Rolling" box beside the test items,
// the lot field and the lot counter, and a row's "Re-work". Toolkit-neutral:
// they read and write the window model and call the run layer's rolling mode;
// the Qt window binds them to its widgets.
//
// With the box unchecked the window is the batch window: Start and Clear do
// what they always did, and the lot field and counter are hidden.
#pragma once

#include <optional>
#include <string>

namespace galmor {

struct Station;

// The box was clicked: the low-level format box, the lot field and the
// counter show while it is checked.
void CheckRolling_Click(Station& st, bool on);
// The lot field as a lot size: 0 for an empty field (no lot), nothing when
// it holds anything but a whole number of disks from 1 up.
std::optional<int> LotSize(const std::string& text);
// Start with the box checked: arms rolling for the lot in the field (a field
// that is not a number says so and arms nothing). False when the box is not
// checked: the caller runs the batch Start.
bool RollingStart_Click(Station& st);
// Clear while rolling is armed disarms it: jobs that run finish, no new disk
// starts. False when rolling is not armed: the caller runs the batch Clear.
bool RollingClear_Click(Station& st);
// One tick of the window's polling timer from the moment rolling is armed:
// true while it is armed or its jobs are finishing (call again at the next
// tick), false once rolling has nothing left to do (the batch polling takes
// the ticks again). Updates the lot counter.
bool RollingTimer(Station& st);
// The lot counter from the run layer.
void ShowLotCount(Station& st);
// Whether row `row` holds a disk that may be re-worked (rolling armed, a disk
// seated, its job not running).
bool Reworkable(const Station& st, int row);
// The row's context menu "Re-work": the disk in that row runs again.
bool Rework_Click(Station& st, int row);

}  // namespace galmor
