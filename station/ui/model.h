// A toolkit-neutral model of the operator window. Every control has a name,
// a caption and its visible/enabled state; per-row controls are arrays indexed
// by row. The station's logic writes only this model; the Qt window and the
// headless runner are views of it.
//
// Safe to update from worker threads. Each change is applied under the
// model's lock and queued in the order it was made; listeners are then called
// one change at a time, in that order, with no lock of the model held, so a
// listener may read the model or change it again. Listeners must not block:
// a view that needs its own thread posts the change there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/view.h"

namespace galmor {

enum class Colour { Default, Green, Red };

struct Control {
    std::string caption;
    bool visible = true;
    bool enabled = true;
    bool checked = false;  // check boxes and option buttons
    int value = 0;         // progress bars
    int maximum = 100;     // progress bars
    int picture = 0;       // thumbnails: an index of Pictures()
    bool front = false;    // banner brought to the front
    Colour background = Colour::Default;
    std::string tip;  // what the control says when pointed at
};

enum class ChangeKind {
    Control,  // `name`/`index` changed
    Rows,     // grid row `index` (and any before it) was created
    Message,  // a message box was raised
    Focus,    // `name`/`index` asks for the keyboard focus
};

struct Change {
    uint64_t seq = 0;
    ChangeKind kind = ChangeKind::Control;
    std::string name;        // control name; "" for rows and message boxes
    int index = -1;          // row for control arrays, -1 for single controls
    std::thread::id thread;  // the thread that made the change
    // Control: the control as this change left it, so a view can draw it
    // without reading the model again. Rows: the number of rows.
    Control control;
    int rows = 0;
};

// The per-row control arrays of the result grid.
inline const std::vector<std::string>& GridArrays() {
    static const std::vector<std::string> names = {
        "ItemLab", "ThumbImage", "ProgressBar", "FG",  "FR",  "LLG",
        "LLR",     "CC1mG",      "CC1mR",       "CCG", "CCR", "StepLab"};
    return names;
}

// A result column of the grid: its heading (element `heading` of the
// "ColumnHead" array) and the two labels each row shows under it.
struct ResultColumn {
    int heading;
    const char* mark;  // the mark ("V", "X", ...)
    const char* text;  // the detail text
};

// The colours of a column's two labels, from what they say: a mark green on
// a pass and red on a failure; a text neutral on a pass and red only when it
// reports a failure; an empty label none.
struct ColumnColours {
    Colour mark = Colour::Default;
    Colour text = Colour::Default;
};
ColumnColours ColoursOf(const std::string& mark, const std::string& text);
inline const std::vector<ResultColumn>& ResultColumns() {
    static const std::vector<ResultColumn> columns = {
        {0, "FG", "FR"}, {1, "LLG", "LLR"}, {2, "CC1mG", "CC1mR"}, {3, "CCG", "CCR"}};
    return columns;
}

// The window's image list of disk pictures. `key` names the picture for a
// view's resources; `text` is what a screen reader says for it.
struct PictureInfo {
    int index;
    const char* key;
    const char* text;
};
inline const std::vector<PictureInfo>& Pictures() {
    static const std::vector<PictureInfo> pictures = {
        {1, "absent", "No disk"},
        {2, "present", "Disk present"},
        {3, "failed", "Disk failed"},
        {4, "passed", "Disk passed"},
    };
    return pictures;
}
// The picture with this index, or nullptr.
const PictureInfo* FindPicture(int index);

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

    // Gives a control the keyboard focus: an event for the views, not a state.
    // The last request is kept for views that only read the model.
    void RequestFocus(const std::string& name, int index = -1);
    std::string LastFocus() const;

    // A message box. It is always recorded. When a view has installed a
    // presenter, the call returns only after the presenter has returned (the
    // operator confirmed the box); without one it returns at once.
    void ShowMessage(const std::string& text, Icon icon);
    std::vector<MessageBox> Messages() const;

    // The presenter is called on the thread that raised the box, with no lock
    // of the model held. Pass an empty function to remove it.
    using Presenter = std::function<void(const MessageBox&)>;
    void SetMessagePresenter(Presenter p);

    // Strict control names for every model of the process.
    static void SetStrictNames(bool strict);
    static bool StrictNames();

    using Listener = std::function<void(const Change&)>;
    int Subscribe(Listener l);
    // After Unsubscribe returns the listener is not running on another thread
    // and is not called again.
    void Unsubscribe(int id);

  private:
    // Queues a change; mu_ must be held.
    void QueueLocked(ChangeKind kind, const std::string& name, int index);
    // Delivers queued changes unless another thread is doing so already.
    void Deliver();

    mutable std::mutex mu_;
    std::map<std::string, std::vector<Control>> controls_;
    std::vector<MessageBox> messages_;
    std::string last_focus_;
    uint64_t seq_ = 0;
    std::deque<Change> pending_;
    Presenter presenter_;

    // Delivery state, under mu_.
    bool delivering_ = false;
    std::thread::id delivering_thread_;
    int calling_ = 0;  // listener being called, 0 for none
    std::condition_variable delivered_;
    std::map<int, std::shared_ptr<Listener>> listeners_;
    int next_listener_ = 1;
};

}  // namespace galmor
