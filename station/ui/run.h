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

}  // namespace galmor
