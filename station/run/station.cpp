#include "run/station.h"

#include <algorithm>
#include <thread>

namespace galmor {

namespace {

double SystemTimeOfDay() {
    using namespace std::chrono;
    auto now = system_clock::now();
    time_t t = system_clock::to_time_t(now);
    tm local{};
    localtime_r(&t, &local);
    double frac = duration<double>(now.time_since_epoch()).count();
    frac -= static_cast<double>(static_cast<int64_t>(frac));
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + frac;
}

// The window of a station that has none: shows nothing, and every button
// and item reads as off.
class NullStationView final : public StationView {
  public:
    PortView& Port(int) override { return row_; }
    void SetEnabled(Button, bool) override {}
    bool Enabled(Button) const override { return false; }
    void Focus(Button) override {}
    void ShowLabel(Label, bool) override {}
    void ShowBanner(bool) override {}
    void BannerToFront(bool) override {}
    void SetBannerText(const std::string&) override {}
    void SetPollingTimer(bool) override {}
    bool PollingTimer() const override { return false; }
    void ShowPollingTimerState() override {}
    bool Checked(TestItem) const override { return false; }
    void SetChecked(TestItem, bool) override {}
    bool ItemExists(int) const override { return false; }
    bool CompareDisk() const override { return false; }
    std::string CapacityText() const override { return {}; }
    Answer ShowMessage(const std::string&, Icon) override { return Answer::Ok; }

  private:
    NullPortView row_;
};

NullStationView g_nullView;

}  // namespace

void RecordingPortView::Reset(bool firstBuild) {
    target_->Reset(firstBuild);
    if (firstBuild) return;
    std::lock_guard<std::mutex> lock(mu_);
    marks_.fill({});
    texts_.fill({});
}

void RecordingPortView::HideResults() {
    target_->HideResults();
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& l : marks_) l.visible = false;
    for (auto& l : texts_) l.visible = false;
}

void RecordingPortView::ShowMark(Column c, bool visible) {
    target_->ShowMark(c, visible);
    std::lock_guard<std::mutex> lock(mu_);
    marks_[static_cast<size_t>(c)].visible = visible;
}

void RecordingPortView::ShowText(Column c, bool visible) {
    target_->ShowText(c, visible);
    std::lock_guard<std::mutex> lock(mu_);
    texts_[static_cast<size_t>(c)].visible = visible;
}

void RecordingPortView::SetMark(Column c, const std::string& text) {
    target_->SetMark(c, text);
    std::lock_guard<std::mutex> lock(mu_);
    marks_[static_cast<size_t>(c)].text = text;
}

void RecordingPortView::SetText(Column c, const std::string& text) {
    target_->SetText(c, text);
    std::lock_guard<std::mutex> lock(mu_);
    texts_[static_cast<size_t>(c)].text = text;
}

ColumnOutcome RecordingPortView::Shown(Column c) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Label& m = marks_[static_cast<size_t>(c)];
    const Label& t = texts_[static_cast<size_t>(c)];
    return {m.visible ? m.text : std::string(), t.visible ? t.text : std::string()};
}

StationCore::StationCore() : TimeOfDay(SystemTimeOfDay), WindowThread(std::this_thread::get_id()) {
    SetView(nullptr);
}

StationView& StationCore::View() {
    return view ? *view : g_nullView;
}

PortView& StationCore::Row(int row) {
    if (row < 0 || row >= kMaxPorts) return nullRow_;
    // Rows the grid does not have are not recorded either: they show nothing.
    if (row >= kGridRows) return View().Port(row);
    return rows_[static_cast<size_t>(row)];
}

void StationCore::SetView(StationView* v) {
    view = v;
    for (int r = 0; r < kGridRows; ++r) rows_[static_cast<size_t>(r)].Attach(&View().Port(r));
}

PortJob StationCore::Job(int16_t slot) {
    const size_t i = static_cast<size_t>(slot - 1);
    return PortJob{Lib(), settings,        ports.at(i),        Row(slot - 1),
                   run,   run.ports.at(i), BootSectorTemplate, slot};
}

void StationCore::SetBanner(bool visible, const std::string& text, bool failed, bool ended) {
    std::lock_guard<std::mutex> lock(outcome_mu_);
    bannerVisible_ = visible;
    banner_ = text;
    failed_ = failed;
    ended_ = ended;
}

void StationCore::HideBanner() {
    std::lock_guard<std::mutex> lock(outcome_mu_);
    bannerVisible_ = false;
    ended_ = false;
    failed_ = false;
    banner_.clear();
}

ColumnOutcome StationCore::Shown(int row, Column c) const {
    if (row < 0 || row >= kGridRows) return {};
    return rows_[static_cast<size_t>(row)].Shown(c);
}

RunOutcome StationCore::Outcome() const {
    RunOutcome o;
    {
        std::lock_guard<std::mutex> lock(outcome_mu_);
        o.ended = ended_;
        o.failed = failed_;
        o.bannerVisible = bannerVisible_;
        o.banner = bannerVisible_ ? banner_ : std::string();
    }
    const int count = std::clamp<int>(DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        PortOutcome p;
        p.index = i;
        p.served = i < served_.load();
        p.status = ports[static_cast<size_t>(i)].ErrorStatus.load();
        if (i < kGridRows) {
            for (int c = 0; c < kColumnCount; ++c) {
                p.columns[static_cast<size_t>(c)] =
                    rows_[static_cast<size_t>(i)].Shown(static_cast<Column>(c));
            }
        }
        o.ports.push_back(std::move(p));
    }
    return o;
}

void WaitSeconds(StationCore& st, float seconds) {
    const double start = st.TimeOfDay();
    for (;;) {
        CheckStop();
        double now = st.TimeOfDay();
        if (now < start) now += 86400.0;  // the day rolled over
        if (now - start > static_cast<double>(seconds)) return;
        if (st.ProcessEvents && std::this_thread::get_id() == st.WindowThread) st.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace galmor
