// The headless view's printout of the window: plain, stable text, one item per
// line.
#include <ostream>

#include "ui/controls.h"
#include "ui/grid.h"
#include "ui/headless.h"
#include "ui/station.h"

namespace galmor {

namespace {

const char* PictureWord(int picture) {
    switch (picture) {
        case kPictureAbsent:
            return "absent";
        case kPicturePresent:
            return "present";
        case kPictureFailed:
            return "failed";
        case kPicturePassed:
            return "passed";
        default:
            return "none";
    }
}

// A caption on one line: the LED button's two lines are joined with " / ".
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += " / ";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out;
}

// A result column: the visible captions of its two labels, "-" when hidden.
std::string ColumnText(const WindowModel& m, Column c, int row) {
    const Control a = m.Get(ctl::Labels(c).mark, row), b = m.Get(ctl::Labels(c).text, row);
    if (!a.visible && !b.visible) return "-";
    std::string out = a.visible ? a.caption : "";
    out += " / ";
    out += b.visible ? b.caption : "";
    return out;
}

}  // namespace

const char* IconWord(Icon icon) {
    switch (icon) {
        case Icon::Error:
            return "error";
        case Icon::Exclamation:
            return "exclamation";
        case Icon::Information:
            return "information";
        case Icon::None:
            break;
    }
    return "plain";
}

void PrintModel(const Station& st, std::ostream& out) {
    const WindowModel& m = st.model;

    out << "Summary\n";
    out << "  " << m.Get1(ctl::kVidPidLab).caption << "\n";
    out << "  " << m.Get1(ctl::kUsbStrLab).caption << "\n";
    out << "  " << m.Get1(ctl::kScsiStrLab).caption << "\n";
    out << "  Disk Lab: " << m.Get1(ctl::kDiskLabContent).caption << "\n";
    out << "  Check Size (MB): " << m.Get1(ctl::kCombo1).caption << "\n";
    out << "  Compare Disk: " << (m.Get1(ctl::kCheckCompare).checked ? "on" : "off") << "\n";
    out << "  Items:";
    for (int i : {0, 1, 3, 4}) {
        const Control item = m.Get(ctl::kCheck1, i);
        out << " " << item.caption << "=" << (item.checked ? "on" : "off") << (i == 4 ? "" : ",");
    }
    out << "\n";

    out << "Grid\n";
    const int rows = m.RowCount();
    for (int r = 0; r < rows; ++r) {
        const Control bar = m.Get(ctl::kProgressBar, r);
        out << "  row " << r << ": " << m.Get(ctl::kItemLab, r).caption
            << " | picture: " << PictureWord(m.Get(ctl::kThumbImage, r).picture);
        if (bar.visible) out << " | progress: " << bar.value << "/" << bar.maximum;
        const Control step = m.Get(ctl::kStepLab, r);
        if (step.visible && !step.caption.empty()) out << " | step: " << step.caption;
        out << " | Format: " << ColumnText(m, Column::Format, r)
            << " | Config String: " << ColumnText(m, Column::ConfigString, r)
            << " | Check Config: " << ColumnText(m, Column::CheckConfig, r)
            << " | Check WP: " << ColumnText(m, Column::CheckWp, r);
        const std::string where = m.Get(ctl::kItemLab, r).tip;
        if (!where.empty()) out << " | disk: " << where;
        out << "\n";
    }

    out << "Buttons\n";
    for (const char* name : {ctl::kGoCmd, ctl::kClearCmd, ctl::kLowFor, ctl::kLowForCan,
                             ctl::kLedCmd, ctl::kScanCmd}) {
        const Control c = m.Get1(name);
        out << "  " << OneLine(c.caption) << ": " << (c.visible ? "" : "hidden, ")
            << (c.enabled ? "enabled" : "disabled") << "\n";
    }

    out << "Labels\n";
    for (const char* name : {ctl::kWaitLab, ctl::kLabel6}) {
        const Control c = m.Get1(name);
        out << "  " << c.caption << ": " << (c.visible ? "shown" : "hidden") << "\n";
    }
    out << "  Polling timer: " << (m.Get1(ctl::kTimer1).enabled ? "running" : "stopped") << "\n";
    const std::string status = m.Get1(ctl::kStatusLine).caption;
    if (!status.empty()) out << "Status line: " << status << "\n";

    const Control banner = m.Get1(ctl::kPassLab);
    out << "Banner: ";
    if (banner.visible) {
        out << "\"" << banner.caption << "\"\n";
    } else {
        out << "hidden\n";
    }

    out << "Messages\n";
    for (const auto& msg : m.Messages()) {
        out << "  [" << IconWord(msg.icon) << "] " << OneLine(msg.text) << "\n";
    }
}

}  // namespace galmor
