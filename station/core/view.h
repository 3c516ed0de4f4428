// The narrow output seam of the station: what the steps and the run may show
// to the operator. A step sees only its port's row (PortView); the run and the
// controls see the window's buttons, labels and banner (StationView). The
// window layer implements both; the layers below it never name a control.
#pragma once

#include <string>

namespace galmor {

enum class Icon { None, Error, Exclamation, Information };

struct MessageBox {
    std::string text;
    Icon icon = Icon::None;
};

// The operator's answer to a message box.
enum class Answer { Ok };

// Pictures of a row's thumbnail (the window's image list).
enum class Picture : int { None = 0, Absent = 1, Present = 2, Failed = 3, Passed = 4 };

// The four result columns of a row; each has a mark label and a text label.
enum class Column : int { Format = 0, ConfigString = 1, CheckConfig = 2, CheckWp = 3 };
constexpr int kColumnCount = 4;

// What a row says while its disk is being formatted (the other steps name
// themselves where they run).
constexpr const char* kStepFormat = "formatting";

// Test items of the "Setting" frame, with their index in the window's item array.
enum class TestItem : int { Format = 0, Manufacture = 1, CheckConfig = 3, CheckWp = 4 };

enum class Button { Start, Clear, LowFormat, LowFormatCancel, Led, Scan };

// Labels that are only shown or hidden.
enum class Label { WaitingForDisk, LowFormatComplete };

// One row of the result grid.
class PortView {
  public:
    virtual ~PortView() = default;
    // Shows the row's name and enables its picture; unless firstBuild, also
    // hides and empties the row's result labels and hides its progress bar.
    virtual void Reset(bool firstBuild) = 0;
    // Hides every result label that is shown (captions stay).
    virtual void HideResults() = 0;
    virtual void ShowMark(Column c, bool visible) = 0;
    virtual void ShowText(Column c, bool visible) = 0;
    virtual void SetMark(Column c, const std::string& text) = 0;
    virtual void SetText(Column c, const std::string& text) = 0;
    virtual void SetPicture(Picture p) = 0;
    virtual void ShowProgress(bool visible) = 0;
    virtual void SetProgress(int value) = 0;
    virtual void SetProgressMaximum(int maximum) = 0;
    virtual void AddProgress(int delta) = 0;
    // A message box raised for this port; returns the operator's answer.
    virtual Answer ShowMessage(const std::string& text, Icon icon) = 0;
    // What the port's worker is busy with, in a few words; empty when idle.
    virtual void SetStep(const std::string& step) { (void)step; }
    // Where the row's disk is and what it is (USB port, capacity), so the
    // operator can find it on the hub; empty for an empty row.
    virtual void SetDisk(const std::string& where) { (void)where; }

    // Both labels of a column.
    void ShowColumn(Column c) {
        ShowMark(c, true);
        ShowText(c, true);
    }
};

// The window as the run and the operator's controls see it.
class StationView {
  public:
    virtual ~StationView() = default;
    // Row `row` (0-based). Rows the grid does not have ignore every change.
    virtual PortView& Port(int row) = 0;

    virtual void SetEnabled(Button b, bool enabled) = 0;
    virtual bool Enabled(Button b) const = 0;
    virtual void Focus(Button b) = 0;
    virtual void ShowLabel(Label l, bool visible) = 0;

    // The banner ("PassLab").
    virtual void ShowBanner(bool visible) = 0;
    virtual void BannerToFront(bool front) = 0;
    virtual void SetBannerText(const std::string& text) = 0;

    // The device-polling timer and its state label.
    virtual void SetPollingTimer(bool on) = 0;
    virtual bool PollingTimer() const = 0;
    virtual void ShowPollingTimerState() = 0;

    virtual bool Checked(TestItem item) const = 0;
    virtual void SetChecked(TestItem item, bool checked) = 0;
    // A check-box index the window does not have: false.
    virtual bool ItemExists(int index) const = 0;
    virtual bool CompareDisk() const = 0;
    // The "Check Size (MB)" box's text.
    virtual std::string CapacityText() const = 0;

    virtual Answer ShowMessage(const std::string& text, Icon icon) = 0;

    // The status line: the day's production at this station.
    virtual void SetStatusLine(const std::string& text) { (void)text; }
};

// A view that shows nothing: for a station without a window model.
class NullPortView : public PortView {
  public:
    void Reset(bool) override {}
    void HideResults() override {}
    void ShowMark(Column, bool) override {}
    void ShowText(Column, bool) override {}
    void SetMark(Column, const std::string&) override {}
    void SetText(Column, const std::string&) override {}
    void SetPicture(Picture) override {}
    void ShowProgress(bool) override {}
    void SetProgress(int) override {}
    void SetProgressMaximum(int) override {}
    void AddProgress(int) override {}
    Answer ShowMessage(const std::string&, Icon) override { return Answer::Ok; }
};

}  // namespace galmor
