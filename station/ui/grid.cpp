// The result grid: building and resetting its rows, the column texts and the
// end-of-run report.
#include "ui/grid.h"

#include <cmath>
#include <map>

#include "controller/controller.h"
#include "core/station.h"

namespace galmor {

namespace {

// The eight result labels of a row, in the order they are cleared.
constexpr const char* kResultLabels[] = {"LLG", "LLR", "FG", "FR", "CCG", "CCR", "CC1mG", "CC1mR"};

// Index of the "Check WP" test item.
constexpr int kItemCheckWp = 4;

}  // namespace

void BuildPortIndicators(Station& st, int count) {
    for (int k = 1; k <= count; ++k) {
        st.model.CreateRow(k);
        st.model.SetCaption("ItemLab", k, "Disk " + std::to_string(k));
    }
}

void ResetPortIndicators(Station& st, bool firstBuild, int port) {
    WindowModel& m = st.model;
    m.SetVisible("ItemLab", port, true);
    m.SetEnabled("ThumbImage", port, true);
    if (firstBuild) return;
    for (const char* name : kResultLabels) {
        m.Update(name, port, [](Control& c) {
            c.visible = false;
            c.caption.clear();
        });
    }
    m.SetVisible("ProgressBar", port, false);
}

void ShowPair(Station& st, const std::string& markLabel, const std::string& textLabel, int row) {
    st.model.SetVisible(markLabel, row, true);
    st.model.SetVisible(textLabel, row, true);
}

void ShowResult(Station& st) {
    WindowModel& m = st.model;
    try {
        m.SetEnabled("ClearCmd", -1, true);
        m.SetVisible("PassLab", -1, true);
        const int count = st.DiskCount.load();
        for (int i = 0; i < count && i < kMaxPorts; ++i) {
            const int picture =
                st.ports[i].ErrorStatus.load() == 0 ? kPicturePassed : kPictureFailed;
            m.SetPicture("ThumbImage", i, picture);
        }
        m.SetFront("PassLab", -1, true);
        std::string banner;
        if (st.AnyFailed.load()) {
            banner = "! FAILED !";
        } else if (!m.Get("Check1", kItemCheckWp).checked) {
            banner = "! ALL PASS !";
        }
        m.SetCaption("PassLab", -1, banner);
        m.SetVisible("PassLab", -1, true);
        m.SetFront("PassLab", -1, true);
        st.RunInProgress = false;
    } catch (...) {
        // The report must never leave the station locked in a run: the
        // operator can still clear it and start again.
        m.SetEnabled("ClearCmd", -1, true);
        st.RunInProgress = false;
    }
}

std::string ErrorStatusText(int code) {
    // A 16-bit status read into a signed value shows its unsigned digits.
    int64_t v = code;
    if (v < 0 && v >= INT16_MIN) v &= 0xFFFF;
    return "Error Status = " + HexPad(v, 2, false);
}

std::string FormatErrorText(int code) {
    static const std::map<int, const char*> texts = {
        {0x78, "Flash Size Wrong"},  {0x7E, "Write Protect"},       {0x7F, "Password Exists"},
        {0x99, "Partition Error"},   {0x9B, "Format Error"},        {0xE1, "Loader Disk Error"},
        {0xE5, "No Flash Detect!!"}, {0xF7, "Write Reserve Error"},
    };
    auto it = texts.find(code);
    if (it != texts.end()) return it->second;
    return ErrorStatusText(code);
}

std::string FormatPassText(int chipCount, int32_t nominalSectors) {
    // Megabytes rounded to the nearest whole number, ties to even.
    const long long mb = std::llrint(static_cast<double>(nominalSectors) / 2000.0);
    return std::to_string(chipCount) + " Chip(s)   " + std::to_string(mb) + " MB";
}

}  // namespace galmor
