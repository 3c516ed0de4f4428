// The window's control names, in one place. The layers below the window name
// buttons, labels, items and columns by enum; only the window maps them here.
#pragma once

#include "core/view.h"

namespace galmor::ctl {

// Single controls.
constexpr const char* kForm = "Form";
constexpr const char* kGoCmd = "GoCmd";
constexpr const char* kClearCmd = "ClearCmd";
constexpr const char* kLowFor = "cmdLowFor";
constexpr const char* kLowForCan = "cmdLowForCan";
constexpr const char* kLedCmd = "LedCmd";
constexpr const char* kScanCmd = "ScanCmd";
constexpr const char* kCheckCompare = "CheckCompare";
constexpr const char* kCombo1 = "Combo1";
constexpr const char* kDiskLabContent = "DiskLabContent";
constexpr const char* kVidPidLab = "VidPidLab";
constexpr const char* kUsbStrLab = "UsbStrLab";
constexpr const char* kScsiStrLab = "ScsiStrLab";
constexpr const char* kLabel6 = "Label6";
constexpr const char* kWaitLab = "WaitLab";
constexpr const char* kPassLab = "PassLab";
constexpr const char* kTimLab = "TimLab";
constexpr const char* kTimer1 = "Timer1";
// The day's production at this station, from the production log.
constexpr const char* kStatusLine = "StatusLine";
constexpr const char* kCheck1 = "Check1";  // the test items, indexed by TestItem
// Rolling production: the box, the lot size field with its caption, and the
// lot counter.
constexpr const char* kCheckRolling = "CheckRolling";
constexpr const char* kCheckRollingLow = "CheckRollingLow";
constexpr const char* kLotLab = "LotLab";
constexpr const char* kLotText = "LotText";
constexpr const char* kLotCount = "LotCount";

// Grid arrays, indexed by row.
constexpr const char* kItemLab = "ItemLab";
constexpr const char* kThumbImage = "ThumbImage";
constexpr const char* kProgressBar = "ProgressBar";
// What the row's worker is busy with.
constexpr const char* kStepLab = "StepLab";

struct ColumnLabels {
    const char* mark;
    const char* text;
};

// The mark and text labels of a result column.
constexpr ColumnLabels Labels(Column c) {
    switch (c) {
        case Column::Format:
            return {"FG", "FR"};
        case Column::ConfigString:
            return {"LLG", "LLR"};
        case Column::CheckConfig:
            return {"CC1mG", "CC1mR"};
        case Column::CheckWp:
            return {"CCG", "CCR"};
    }
    return {"FG", "FR"};
}

constexpr const char* Name(Button b) {
    switch (b) {
        case Button::Start:
            return kGoCmd;
        case Button::Clear:
            return kClearCmd;
        case Button::LowFormat:
            return kLowFor;
        case Button::LowFormatCancel:
            return kLowForCan;
        case Button::Led:
            return kLedCmd;
        case Button::Scan:
            return kScanCmd;
    }
    return kGoCmd;
}

constexpr const char* Name(Label l) {
    return l == Label::WaitingForDisk ? kWaitLab : kLabel6;
}

// The eight result labels of a row, in the order they are cleared.
constexpr const char* kResultLabels[] = {"LLG", "LLR", "FG", "FR", "CCG", "CCR", "CC1mG", "CC1mR"};

}  // namespace galmor::ctl
