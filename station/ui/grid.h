// The result grid: one row per port (port name, picture, progress bar and four
// result columns), the error-status texts and the end-of-run report.
#pragma once

#include <cstdint>
#include <string>

namespace galmor {

struct Station;

// Pictures of the thumbnails (the window's image list).
constexpr int kPictureAbsent = 1;
constexpr int kPicturePresent = 2;
constexpr int kPictureFailed = 3;
constexpr int kPicturePassed = 4;

// Creates rows 1..count of every grid array below row 0 and names them
// "Disk k".
void BuildPortIndicators(Station& st, int count);
// Shows the row's name and enables its picture; unless firstBuild, also hides
// and empties the row's eight result labels and hides its progress bar.
void ResetPortIndicators(Station& st, bool firstBuild, int port);
// Makes the two labels of a result column visible.
void ShowPair(Station& st, const std::string& markLabel, const std::string& textLabel, int row);
// End-of-run report: pictures from each port's ErrorStatus, banner from AnyFailed.
void ShowResult(Station& st);

// "Error Status = " + the code as at least two upper-case hex digits.
std::string ErrorStatusText(int code);
// The "Format" column's text for a non-zero ErrorStatus.
std::string FormatErrorText(int code);
// The "Format" column's pass text: "<chips> Chip(s)   <MB> MB".
std::string FormatPassText(int chipCount, int32_t nominalSectors);

}  // namespace galmor
