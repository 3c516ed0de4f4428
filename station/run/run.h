// The production run, the low-level format, Scan and the operator's buttons.
#pragma once

#include <cstdint>

namespace galmor {

struct StationCore;

void GoCmd_Click(StationCore& st);
void JustDoIt(StationCore& st, int16_t disk);
void ClearCmd_Click(StationCore& st);
void cmdLowFor_Click(StationCore& st);
void cmdLowForCan_Click(StationCore& st);
void LedCmd_Click(StationCore& st);
void ItemLab_Click(StationCore& st, int16_t index);
void ThumbImage_Click(StationCore& st, int16_t index);
void Check1_Click(StationCore& st, int16_t index);
void ScanCmd_Click(StationCore& st);

// The low-level format's worker for one disk (1-based); started by
// cmdLowFor_Click on its own thread.
void LowLevelFormatWorker(StationCore& st, int16_t disk);

// Shows the row's name and enables its picture; unless firstBuild, also hides
// and empties the row's result labels and hides its progress bar.
void ResetPortIndicators(StationCore& st, bool firstBuild, int port);
// End-of-run report: pictures from each port's ErrorStatus, banner from the
// run's failures. Tells the run's observer.
void ShowResult(StationCore& st);

// Waits until the workers of the station's run and low-level format have
// ended by themselves (a run ends with its verdict, a low-level format when
// its highest-numbered worker has restored the window).
void WaitForWorkers(StationCore& st);
// Stops every worker of the station before its next command and waits for
// them: for shutdown, before the station goes away.
void StopStationWorkers(StationCore& st);
// A low-level format is running (not finished and not cancelled).
bool LowFormatRunning(StationCore& st);

}  // namespace galmor
