#include "ui/model_view.h"

#include <utility>

#include "ui/controls.h"

namespace galmor {

void ModelPortView::Reset(bool firstBuild) {
    m_->SetVisible(ctl::kItemLab, row_, true);
    m_->SetEnabled(ctl::kThumbImage, row_, true);
    if (firstBuild) return;
    for (const char* name : ctl::kResultLabels) {
        m_->Update(name, row_, [](Control& c) {
            c.visible = false;
            c.caption.clear();
            c.background = Colour::Default;
        });
    }
    m_->SetVisible(ctl::kProgressBar, row_, false);
    SetStep("");
}

void ModelPortView::HideResults() {
    for (const char* name : ctl::kResultLabels) {
        if (m_->Get(name, row_).visible) m_->SetVisible(name, row_, false);
    }
}

void ModelPortView::ShowMark(Column c, bool visible) {
    m_->SetVisible(ctl::Labels(c).mark, row_, visible);
}

void ModelPortView::ShowText(Column c, bool visible) {
    m_->SetVisible(ctl::Labels(c).text, row_, visible);
}

void ModelPortView::SetMark(Column c, const std::string& text) {
    m_->SetCaption(ctl::Labels(c).mark, row_, text);
    Recolour(c);
}

void ModelPortView::SetText(Column c, const std::string& text) {
    m_->SetCaption(ctl::Labels(c).text, row_, text);
    Recolour(c);
}

void ModelPortView::Recolour(Column c) {
    const ctl::ColumnLabels l = ctl::Labels(c);
    const ColumnColours colours =
        ColoursOf(m_->Get(l.mark, row_).caption, m_->Get(l.text, row_).caption);
    for (auto [name, colour] : {std::pair{l.mark, colours.mark}, std::pair{l.text, colours.text}}) {
        if (m_->Get(name, row_).background != colour) {
            m_->Update(name, row_, [colour = colour](Control& ctl) { ctl.background = colour; });
        }
    }
}

void ModelPortView::SetStep(const std::string& step) {
    m_->Update(ctl::kStepLab, row_, [&](Control& c) {
        c.caption = step;
        c.visible = !step.empty();
    });
}

void ModelPortView::SetDisk(const std::string& where) {
    for (const char* name : {ctl::kItemLab, ctl::kThumbImage}) {
        if (m_->Get(name, row_).tip != where) {
            m_->Update(name, row_, [&](Control& c) { c.tip = where; });
        }
    }
}

void ModelPortView::SetPicture(Picture p) {
    m_->SetPicture(ctl::kThumbImage, row_, static_cast<int>(p));
}

void ModelPortView::ShowProgress(bool visible) {
    m_->SetVisible(ctl::kProgressBar, row_, visible);
}

void ModelPortView::SetProgress(int value) {
    m_->SetValue(ctl::kProgressBar, row_, value);
}

void ModelPortView::SetProgressMaximum(int maximum) {
    m_->SetMaximum(ctl::kProgressBar, row_, maximum);
}

void ModelPortView::AddProgress(int delta) {
    m_->AddValue(ctl::kProgressBar, row_, delta);
}

Answer ModelPortView::ShowMessage(const std::string& text, Icon icon) {
    m_->ShowMessage(text, icon);
    return Answer::Ok;
}

ModelStationView::ModelStationView(WindowModel& m) : m_(m) {
    for (int r = 0; r < kMaxPorts; ++r) rows_[static_cast<size_t>(r)].Bind(&m, r);
    outside_.Bind(&m, kMaxPorts);
}

PortView& ModelStationView::Port(int row) {
    if (row < 0 || row >= kMaxPorts) return outside_;
    return rows_[static_cast<size_t>(row)];
}

void ModelStationView::SetEnabled(Button b, bool enabled) {
    m_.SetEnabled(ctl::Name(b), -1, enabled);
}

bool ModelStationView::Enabled(Button b) const {
    return m_.Get1(ctl::Name(b)).enabled;
}

void ModelStationView::Focus(Button b) {
    m_.RequestFocus(ctl::Name(b));
}

void ModelStationView::ShowLabel(Label l, bool visible) {
    m_.SetVisible(ctl::Name(l), -1, visible);
}

void ModelStationView::ShowBanner(bool visible) {
    m_.SetVisible(ctl::kPassLab, -1, visible);
}

void ModelStationView::BannerToFront(bool front) {
    m_.SetFront(ctl::kPassLab, -1, front);
}

void ModelStationView::SetBannerText(const std::string& text) {
    m_.SetCaption(ctl::kPassLab, -1, text);
}

void ModelStationView::SetPollingTimer(bool on) {
    m_.SetEnabled(ctl::kTimer1, -1, on);
}

bool ModelStationView::PollingTimer() const {
    return m_.Get1(ctl::kTimer1).enabled;
}

void ModelStationView::ShowPollingTimerState() {
    m_.SetCaption(ctl::kTimLab, -1, PollingTimer() ? "True" : "False");
}

bool ModelStationView::Checked(TestItem item) const {
    return m_.Get(ctl::kCheck1, static_cast<int>(item)).checked;
}

void ModelStationView::SetChecked(TestItem item, bool checked) {
    m_.SetChecked(ctl::kCheck1, static_cast<int>(item), checked);
}

bool ModelStationView::ItemExists(int index) const {
    return m_.Exists(ctl::kCheck1, index);
}

bool ModelStationView::CompareDisk() const {
    return m_.Get1(ctl::kCheckCompare).checked;
}

std::string ModelStationView::CapacityText() const {
    return m_.Get1(ctl::kCombo1).caption;
}

Answer ModelStationView::ShowMessage(const std::string& text, Icon icon) {
    m_.ShowMessage(text, icon);
    return Answer::Ok;
}

void ModelStationView::SetStatusLine(const std::string& text) {
    m_.SetCaption(ctl::kStatusLine, -1, text);
}

}  // namespace galmor
