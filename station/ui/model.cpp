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

bool EndsWith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// A mark that reports a failure: "X", "String = X", "... Fail!".
bool FailingMark(const std::string& mark) {
    return mark == "X" || EndsWith(mark, "= X") || mark.find("Fail") != std::string::npos;
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
    Control removable = Make("Removable Type", true, false);
    removable.checked = true;
    single("Option2", removable);
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

    // Rolling production: off by default; the low-level format box, the lot
    // field (empty: no lot) and the lot counter show only while it is checked.
    single("CheckRolling", Make("Rolling"));
    single("CheckRollingLow", Make("Low level format first", false));
    single("LotLab", Make("Lot", false));
    single("LotText", Make("", false));
    single("LotCount", Make("", false));

    std::vector<Control> headings;
    for (const char* h : {"Format", "Config String", "Check Config", "Check WP"}) {
        headings.push_back(Make(h));
    }
    controls_["ColumnHead"] = headings;

    for (const auto& array : GridArrays()) controls_[array] = {GridElement(array, 0)};
}

ColumnColours ColoursOf(const std::string& mark, const std::string& text) {
    ColumnColours c;
    const bool markFails = FailingMark(mark);
    if (!mark.empty()) c.mark = markFails ? Colour::Red : Colour::Green;
    if (text.empty()) return c;
    bool textFails;
    if (EndsWith(text, "= X")) {
        textFails = true;
    } else if (EndsWith(text, "= V")) {
        textFails = false;
    } else if (!mark.empty()) {
        // The text explains the column's mark.
        textFails = markFails;
    } else {
        // A text without a mark is the column's only verdict, given on a
        // failure ("Not Write Protected").
        textFails = true;
    }
    c.text = textFails ? Colour::Red : Colour::Default;
    return c;
}

const PictureInfo* FindPicture(int index) {
    for (const auto& p : Pictures()) {
        if (p.index == index) return &p;
    }
    return nullptr;
}

// What Get gives for a control the window does not have.
static Control NoControl() {
    Control c;
    c.visible = false;
    return c;
}

static bool Absent(const std::string& name, int index) {
    return name == "Check1" && index == 2;
}

Control WindowModel::Get(const std::string& name, int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = controls_.find(name);
    if (it == controls_.end() || Absent(name, index)) return NoControl();
    size_t i = index < 0 ? 0 : static_cast<size_t>(index);
    if (i >= it->second.size()) return NoControl();
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
        QueueLocked(ChangeKind::Control, name, index);
    }
    Deliver();
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
        QueueLocked(ChangeKind::Rows, "", row);
    }
    Deliver();
}

int WindowModel::RowCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(controls_.at("ItemLab").size());
}

void WindowModel::RequestFocus(const std::string& name, int index) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        last_focus_ = name;
        QueueLocked(ChangeKind::Focus, name, index);
    }
    Deliver();
}

std::string WindowModel::LastFocus() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_focus_;
}

void WindowModel::ShowMessage(const std::string& text, Icon icon) {
    Presenter presenter;
    {
        std::lock_guard<std::mutex> lock(mu_);
        messages_.push_back({text, icon});
        QueueLocked(ChangeKind::Message, "", -1);
        presenter = presenter_;
    }
    Deliver();
    if (presenter) presenter(MessageBox{text, icon});
}

std::vector<MessageBox> WindowModel::Messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
}

void WindowModel::SetMessagePresenter(Presenter p) {
    std::lock_guard<std::mutex> lock(mu_);
    presenter_ = std::move(p);
}

int WindowModel::Subscribe(Listener l) {
    std::lock_guard<std::mutex> lock(mu_);
    int id = next_listener_++;
    listeners_[id] = std::make_shared<Listener>(std::move(l));
    return id;
}

void WindowModel::Unsubscribe(int id) {
    std::unique_lock<std::mutex> lock(mu_);
    listeners_.erase(id);
    // A listener may unsubscribe itself from inside its call; anyone else
    // waits until the call in progress has returned.
    delivered_.wait(
        lock, [&] { return calling_ != id || delivering_thread_ == std::this_thread::get_id(); });
}

void WindowModel::QueueLocked(ChangeKind kind, const std::string& name, int index) {
    Change ch;
    ch.seq = ++seq_;
    ch.kind = kind;
    ch.name = name;
    ch.index = index;
    ch.thread = std::this_thread::get_id();
    auto it = controls_.find(name);
    if (kind == ChangeKind::Control && it != controls_.end()) {
        const size_t i = index < 0 ? 0 : static_cast<size_t>(index);
        if (i < it->second.size()) ch.control = it->second[i];
    }
    ch.rows = static_cast<int>(controls_.at("ItemLab").size());
    pending_.push_back(std::move(ch));
}

void WindowModel::Deliver() {
    // One thread at a time delivers, in the order the changes were queued;
    // changes queued meanwhile by other threads (or by a listener) are
    // delivered by that same thread before it leaves.
    std::unique_lock<std::mutex> lock(mu_);
    if (delivering_) return;
    delivering_ = true;
    delivering_thread_ = std::this_thread::get_id();
    while (!pending_.empty()) {
        const Change ch = std::move(pending_.front());
        pending_.pop_front();
        std::vector<std::pair<int, std::shared_ptr<Listener>>> targets(listeners_.begin(),
                                                                       listeners_.end());
        for (auto& [id, fn] : targets) {
            if (listeners_.find(id) == listeners_.end()) continue;  // unsubscribed meanwhile
            calling_ = id;
            lock.unlock();
            try {
                (*fn)(ch);
            } catch (...) {
                // A view's failure never reaches the station's logic.
            }
            lock.lock();
            calling_ = 0;
            delivered_.notify_all();
        }
    }
    delivering_ = false;
    delivering_thread_ = std::thread::id();
    delivered_.notify_all();
}

}  // namespace galmor
