// The headless view's printout of the window: plain, stable text, one item per
// line.
#include <ostream>

#include "core/station.h"
#include "ui/headless.h"

namespace galmor {

namespace {

const char* PictureWord(int picture) {
    const Picture* p = FindPicture(picture);
    return p ? p->key : "none";
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
std::string Column(const WindowModel& m, const char* mark, const char* text, int row) {
    const Control a = m.Get(mark, row), b = m.Get(text, row);
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
    out << "  " << m.Get1("VidPidLab").caption << "\n";
    out << "  " << m.Get1("UsbStrLab").caption << "\n";
    out << "  " << m.Get1("ScsiStrLab").caption << "\n";
    out << "  Disk Lab: " << m.Get1("DiskLabContent").caption << "\n";
    out << "  Check Size (MB): " << m.Get1("Combo1").caption << "\n";
    out << "  Compare Disk: " << (m.Get1("CheckCompare").checked ? "on" : "off") << "\n";
    out << "  Items:";
    for (int i : {0, 1, 3, 4}) {
        const Control item = m.Get("Check1", i);
        out << " " << item.caption << "=" << (item.checked ? "on" : "off") << (i == 4 ? "" : ",");
    }
    out << "\n";

    out << "Grid\n";
    const int rows = m.RowCount();
    for (int r = 0; r < rows; ++r) {
        const Control bar = m.Get("ProgressBar", r);
        out << "  row " << r << ": " << m.Get("ItemLab", r).caption
            << " | picture: " << PictureWord(m.Get("ThumbImage", r).picture);
        if (bar.visible) out << " | progress: " << bar.value << "/" << bar.maximum;
        out << " | Format: " << Column(m, "FG", "FR", r)
            << " | Config String: " << Column(m, "LLG", "LLR", r)
            << " | Check Config: " << Column(m, "CC1mG", "CC1mR", r)
            << " | Check WP: " << Column(m, "CCG", "CCR", r) << "\n";
    }

    out << "Buttons\n";
    for (const char* name :
         {"GoCmd", "ClearCmd", "cmdLowFor", "cmdLowForCan", "LedCmd", "ScanCmd"}) {
        const Control c = m.Get1(name);
        out << "  " << OneLine(c.caption) << ": " << (c.visible ? "" : "hidden, ")
            << (c.enabled ? "enabled" : "disabled") << "\n";
    }

    out << "Labels\n";
    for (const char* name : {"WaitLab", "Label6"}) {
        const Control c = m.Get1(name);
        out << "  " << c.caption << ": " << (c.visible ? "shown" : "hidden") << "\n";
    }
    out << "  Polling timer: " << (m.Get1("Timer1").enabled ? "running" : "stopped") << "\n";

    const Control banner = m.Get1("PassLab");
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
