// The result grid of the window: one row per port (port name, picture,
// progress bar and four result columns).
#pragma once

#include <string>

#include "core/view.h"

namespace galmor {

struct Station;

// Pictures of the thumbnails (the window's image list).
constexpr int kPictureAbsent = static_cast<int>(Picture::Absent);
constexpr int kPicturePresent = static_cast<int>(Picture::Present);
constexpr int kPictureFailed = static_cast<int>(Picture::Failed);
constexpr int kPicturePassed = static_cast<int>(Picture::Passed);

// Creates rows 1..count of every grid array below row 0 and names them
// "Disk k".
void BuildPortIndicators(Station& st, int count);

}  // namespace galmor
