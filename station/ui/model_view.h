// The window model as the station's view: buttons, labels, items and rows by
// their control names.
#pragma once

#include <array>

#include "core/port.h"
#include "core/view.h"
#include "ui/model.h"

namespace galmor {

class ModelPortView final : public PortView {
  public:
    ModelPortView() = default;
    void Bind(WindowModel* m, int row) {
        m_ = m;
        row_ = row;
    }
    void Reset(bool firstBuild) override;
    void HideResults() override;
    void ShowMark(Column c, bool visible) override;
    void ShowText(Column c, bool visible) override;
    void SetMark(Column c, const std::string& text) override;
    void SetText(Column c, const std::string& text) override;
    void SetPicture(Picture p) override;
    void ShowProgress(bool visible) override;
    void SetProgress(int value) override;
    void SetProgressMaximum(int maximum) override;
    void AddProgress(int delta) override;
    Answer ShowMessage(const std::string& text, Icon icon) override;
    void SetStep(const std::string& step) override;
    void SetDisk(const std::string& where) override;

  private:
    // Colours the column's two labels after what they say now.
    void Recolour(Column c);

    WindowModel* m_ = nullptr;
    int row_ = 0;
};

class ModelStationView final : public StationView {
  public:
    explicit ModelStationView(WindowModel& m);
    PortView& Port(int row) override;
    void SetEnabled(Button b, bool enabled) override;
    bool Enabled(Button b) const override;
    void Focus(Button b) override;
    void ShowLabel(Label l, bool visible) override;
    void ShowBanner(bool visible) override;
    void BannerToFront(bool front) override;
    void SetBannerText(const std::string& text) override;
    void SetPollingTimer(bool on) override;
    bool PollingTimer() const override;
    void ShowPollingTimerState() override;
    bool Checked(TestItem item) const override;
    void SetChecked(TestItem item, bool checked) override;
    bool ItemExists(int index) const override;
    bool CompareDisk() const override;
    std::string CapacityText() const override;
    Answer ShowMessage(const std::string& text, Icon icon) override;
    void SetStatusLine(const std::string& text) override;

  private:
    WindowModel& m_;
    std::array<ModelPortView, kMaxPorts> rows_;
    ModelPortView outside_;  // rows the table does not have
};

}  // namespace galmor
