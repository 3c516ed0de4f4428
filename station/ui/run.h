// The production run and the operator's buttons.
#pragma once

#include <cstdint>

namespace galmor {

struct Station;

void GoCmd_Click(Station& st);
void JustDoIt(Station& st, int16_t disk);
void ClearCmd_Click(Station& st);
void cmdLowFor_Click(Station& st);
void cmdLowForCan_Click(Station& st);
void LedCmd_Click(Station& st);
void ItemLab_Click(Station& st, int16_t index);
void ThumbImage_Click(Station& st, int16_t index);
void Check1_Click(Station& st, int16_t index);
void ScanCmd_Click(Station& st);

// The low-level format's worker for one disk (1-based); started by
// cmdLowFor_Click on its own thread.
void LowLevelFormatWorker(Station& st, int16_t disk);

// Waits until the workers of the station's run and low-level format have
// ended by themselves (a run ends with its verdict, a low-level format when
// its highest-numbered worker has restored the window).
void WaitForWorkers(Station& st);
// Stops every worker of the station before its next command and waits for
// them: for shutdown, before the Station goes away.
void StopStationWorkers(Station& st);
// A low-level format is running (not finished and not cancelled).
bool LowFormatRunning(Station& st);

}  // namespace galmor
