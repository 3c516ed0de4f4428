#include "ui/model.h"

#include <atomic>
#include <stdexcept>

namespace galmor {

namespace {

Control Make(const std::string& caption, bool visible = true, bool enabled = true) {
    Control c;
    c.caption = caption;
    c.visible = visible;
    c.enabled = enabled;
    return c;
}

Control GridElement(const std::string& array, int row) {
    Control c;
    if (array == "ItemLab") {
        c.caption = "Disk " + std::to_string(row);
    } else if (array == "ThumbImage") {
        c.picture = 1;
    } else {
        // Progress bars and result labels start hidden and empty.
        c.visible = false;
        c.maximum = 100;
    }
    return c;
}

#ifdef NDEBUG
std::atomic<bool> g_strictNames{false};
#else
std::atomic<bool> g_strictNames{true};
#endif

}  // namespace

void WindowModel::SetStrictNames(bool strict) {
    g_strictNames = strict;
}

bool WindowModel::StrictNames() {
    return g_strictNames.load();
}

WindowModel::WindowModel() {
    auto single = [this](const std::string& name, Control c) { controls_[name] = {std::move(c)}; };
    single("Form", Make("UFD Manufacture Program"));
    single("GoCmd", Make("Start (&S)", true, false));
    single("ClearCmd", Make("Clear (&C)", true, false));
    single("cmdLowFor", Make("Low level Format"));
    single("cmdLowForCan", Make("Cancel"));
    single("LedCmd", Make("Flash  LED  on\nGood Device", true, false));
    single("ScanCmd", Make("Scan Disk(&D)", false, false));
    single("Command1", Make("Disable CdRom", false, true));
    single("Frame1", Make("Setting"));
    Control compare = Make("Compare Disk");
    compare.checked = true;
    single("CheckCompare", compare);
    single("Frame2", Make("DISK TYPE", true, false));
    single("Option1", Make("Fix Type", true, false));
    single("Option2", Make("Removable Type", true, false));
    single("Combo1", Make("", true, false));
    single("Label4", Make("Check Size (MB)"));
    single("Label3", Make("Version:"));
    single("Label2", Make("1.10"));
    single("TextDiskLab", Make("Disk Lab"));
    single("DiskLabContent", Make("7306"));
    single("VidPidLab", Make(""));
    single("UsbStrLab", Make(""));
    single("ScsiStrLab", Make(""));
    single("Label6", Make("Low Level Format Complete", false));
    single("Label5", Make("Comparing Disk Context", false));
    single("WaitLab", Make("Waiting for Disk Coming", false));
    single("PassLab", Make("ALL PASS", false));
    single("TimLab", Make("", false));
    // The day's production at this station, from the production log.
    single("StatusLine", Make(""));
    single("Timer1", Make("", false, true));

    // Test items: indices 0, 1, 3, 4 (there is no item 2).
    std::vector<Control> items(5);
    const char* captions[5] = {"Format", "Manufacture", "", "Check Config", "Check WP"};
    for (int i = 0; i < 5; ++i) {
        items[i] = Make(captions[i]);
        items[i].checked = (i == 0 || i == 1 || i == 3);
    }
    items[2].visible = false;
    controls_["Check1"] = items;

    for (const auto& array : GridArrays()) controls_[array] = {GridElement(array, 0)};
}

static bool Absent(const std::string& name, int index) {
    return name == "Check1" && index == 2;
}

Control WindowModel::Get(const std::string& name, int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = controls_.find(name);
    if (it == controls_.end() || Absent(name, index))
        return Control{.caption = "", .visible = false};
    size_t i = index < 0 ? 0 : static_cast<size_t>(index);
    if (i >= it->second.size()) return Control{.caption = "", .visible = false};
    return it->second[i];
}

bool WindowModel::Exists(const std::string& name, int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = controls_.find(name);
    if (it == controls_.end() || Absent(name, index)) return false;
    size_t i = index < 0 ? 0 : static_cast<size_t>(index);
    return i < it->second.size();
}

void WindowModel::Update(const std::string& name, int index,
                         const std::function<void(Control&)>& fn) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = controls_.find(name);
        if (it == controls_.end() && g_strictNames.load()) {
            throw std::invalid_argument("the window has no control named \"" + name + "\"");
        }
        if (it == controls_.end() || Absent(name, index)) return;
        size_t i = index < 0 ? 0 : static_cast<size_t>(index);
        if (i >= it->second.size()) return;
        fn(it->second[i]);
    }
    Notify(name, index);
}

void WindowModel::SetCaption(const std::string& n, int i, const std::string& t) {
    Update(n, i, [&](Control& c) { c.caption = t; });
}
void WindowModel::SetVisible(const std::string& n, int i, bool v) {
    Update(n, i, [&](Control& c) { c.visible = v; });
}
void WindowModel::SetEnabled(const std::string& n, int i, bool v) {
    Update(n, i, [&](Control& c) { c.enabled = v; });
}
void WindowModel::SetChecked(const std::string& n, int i, bool v) {
    Update(n, i, [&](Control& c) { c.checked = v; });
}
void WindowModel::SetValue(const std::string& n, int i, int v) {
    Update(n, i, [&](Control& c) { c.value = v; });
}
void WindowModel::SetMaximum(const std::string& n, int i, int v) {
    Update(n, i, [&](Control& c) { c.maximum = v; });
}
void WindowModel::SetPicture(const std::string& n, int i, int p) {
    Update(n, i, [&](Control& c) { c.picture = p; });
}
void WindowModel::SetFront(const std::string& n, int i, bool v) {
    Update(n, i, [&](Control& c) { c.front = v; });
}
void WindowModel::AddValue(const std::string& n, int i, int d) {
    Update(n, i, [&](Control& c) { c.value += d; });
}

void WindowModel::CreateRow(int row) {
    if (row < 0 || row >= 64) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& array : GridArrays()) {
            auto& v = controls_[array];
            while (static_cast<int>(v.size()) <= row) v.push_back(GridElement(array, v.size()));
        }
    }
    Notify("", row);
}

int WindowModel::RowCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(controls_.at("ItemLab").size());
}

void WindowModel::ShowMessage(const std::string& text, Icon icon) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        messages_.push_back({text, icon});
    }
    Notify("", -1);
}

std::vector<MessageBox> WindowModel::Messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
}

int WindowModel::Subscribe(Listener l) {
    std::lock_guard<std::mutex> lock(listeners_mu_);
    int id = next_listener_++;
    listeners_[id] = std::move(l);
    return id;
}

void WindowModel::Unsubscribe(int id) {
    std::lock_guard<std::mutex> lock(listeners_mu_);
    listeners_.erase(id);
}

void WindowModel::Notify(const std::string& name, int index) {
    // Listeners are called one change at a time, in the order of the changes'
    // sequence numbers, so a view sees one row's updates in the order made.
    std::lock_guard<std::mutex> lock(listeners_mu_);
    Change ch;
    {
        std::lock_guard<std::mutex> l2(mu_);
        ch.seq = ++seq_;
    }
    ch.name = name;
    ch.index = index;
    for (auto& [id, l] : listeners_) l(ch);
}

}  // namespace galmor
