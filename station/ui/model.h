// A toolkit-neutral model of the operator window. Every control has a name,
// a caption and its visible/enabled state; per-row controls are arrays indexed
// by row. The station's logic writes only this model; the Qt window and the
// headless runner are views of it. Safe to update from worker threads: each
// change is applied under a lock and views are told of changes in the order
// they were made.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/view.h"

namespace galmor {

struct Control {
    std::string caption;
    bool visible = true;
    bool enabled = true;
    bool checked = false;  // check boxes
    int value = 0;         // progress bars
    int maximum = 100;     // progress bars
    int picture = 0;       // thumbnails: 1 absent, 2 present, 3 failed, 4 passed
    bool front = false;    // banner brought to the front
    bool focus = false;    // button holds the focus
};

struct Change {
    uint64_t seq = 0;
    std::string name;  // control name, or "" for a message box
    int index = -1;    // row for control arrays, -1 for single controls
};

// The per-row control arrays of the result grid.
inline const std::vector<std::string>& GridArrays() {
    static const std::vector<std::string> names = {"ItemLab", "ThumbImage", "ProgressBar", "FG",
                                                   "FR",      "LLG",        "LLR",         "CC1mG",
                                                   "CC1mR",   "CCG",        "CCR"};
    return names;
}

class WindowModel {
  public:
    // The window as designed (before start-up code runs).
    WindowModel();

    // Reads a copy of a control. index -1 for single controls. Unknown names
    // or rows give a default Control with exists()=false semantics (caption
    // empty, visible false).
    Control Get(const std::string& name, int index = -1) const;
    bool Exists(const std::string& name, int index = -1) const;

    // Applies `fn` to a control. Updates of controls that do not exist (a row
    // beyond the grid) are ignored, as the window ignores them. A control name
    // the window does not have is a programming error: with strict names (debug
    // builds and tests) it throws std::invalid_argument, else it is ignored.
    void Update(const std::string& name, int index, const std::function<void(Control&)>& fn);

    void SetCaption(const std::string& name, int index, const std::string& text);
    void SetVisible(const std::string& name, int index, bool v);
    void SetEnabled(const std::string& name, int index, bool v);
    void SetChecked(const std::string& name, int index, bool v);
    void SetValue(const std::string& name, int index, int v);
    void SetMaximum(const std::string& name, int index, int v);
    void SetPicture(const std::string& name, int index, int picture);
    void SetFront(const std::string& name, int index, bool v);
    // Adds `delta` to a progress bar's value (one step per chunk written).
    void AddValue(const std::string& name, int index, int delta);

    // Convenience for single controls.
    Control Get1(const std::string& name) const { return Get(name, -1); }

    // Creates row `row` of every grid array (BuildPortIndicators).
    void CreateRow(int row);
    int RowCount() const;

    // A message box; the window shows it modally, the headless view records it.
    void ShowMessage(const std::string& text, Icon icon);
    std::vector<MessageBox> Messages() const;

    // Strict control names for every model of the process.
    static void SetStrictNames(bool strict);
    static bool StrictNames();

    using Listener = std::function<void(const Change&)>;
    int Subscribe(Listener l);
    void Unsubscribe(int id);

  private:
    void Notify(const std::string& name, int index);

    mutable std::mutex mu_;
    std::map<std::string, std::vector<Control>> controls_;
    std::vector<MessageBox> messages_;
    uint64_t seq_ = 0;

    std::mutex listeners_mu_;
    std::map<int, Listener> listeners_;
    int next_listener_ = 1;
};

}  // namespace galmor
