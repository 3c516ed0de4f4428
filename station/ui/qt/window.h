// The operator window in Qt Widgets: a thin view of the station's
// WindowModel. Every widget shows one control of the model; clicks call the
// station's button procedures. Workers never touch a widget: model changes
// are posted to the window's thread and applied there in the order made, and
// a message box raised by a worker is shown modally on the window's thread
// while that worker waits for the operator.
#pragma once

#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/startup.h"

class QTimer;
class QLabel;
class QGridLayout;
class QSocketNotifier;
class QMenu;

namespace galmor {

struct Station;
struct Change;
struct Control;
struct MessageBox;
class MonitorLink;

namespace qtui {

struct WindowOptions {
    // Show message boxes and make the raising thread wait for the operator.
    // Off: boxes are only recorded in the model (as the headless view does),
    // for unattended rendering.
    bool modal_messages = true;
    // The link to the device-change monitor: start-up turns autorun off,
    // installs the hook and starts dorvel from `monitor_folder`; the window
    // then takes dorvel's notices on its own thread, and closing it ends the
    // monitor. Null: devices are seen at start-up only.
    MonitorLink* link = nullptr;
    std::string monitor_folder;
    // While the window exists, workers run at this nice value: on a loaded
    // machine the window's thread is then not queued behind eight of them.
    int worker_nice = 10;
};

class OperatorWindow : public QWidget {
  public:
    explicit OperatorWindow(Station& st, WindowOptions opts = {}, QWidget* parent = nullptr);
    ~OperatorWindow() override;

    // The form's initialisation after the window is built: autorun off and
    // the hook (with a link), the recipe and its summary, the grid, dorvel
    // started, then the first disk discovery. False when the recipe was not
    // accepted (its messages have been shown) or AfterRecipe said no.
    bool StartUp();
    // How the last StartUp ended.
    StartUpResult StartUpOutcome() const { return startup_; }
    // Runs once the recipe is accepted, before the first discovery (the
    // program opens its production log here); false ends the start-up.
    std::function<bool()> AfterRecipe;

    // The widget that shows a control of the model (index -1 for single
    // controls), or nullptr.
    QWidget* Widget(const std::string& name, int index = -1) const;

    // Applies the changes made so far (the window does it by itself every
    // few milliseconds; tests and renderers call it to be sure).
    void FlushNow() { Flush(true); }

    // The shutdown order: polling stops, waiting workers are released,
    // autorun is restored, the monitor ended and the hook removed, every
    // worker is stopped and joined, the disks are closed. Safe to call twice.
    void Shutdown();

    // The rows' progress bars drawn flat and only when their percentage
    // changes (the default), or as the style draws them on every new value.
    void SetFlatBars(bool on);

    // Number of message boxes currently open on the window.
    int OpenMessageBoxes() const { return boxes_open_; }

    // The context menu of grid row `row` ("Re-work"), as a right click on
    // the row's label or picture opens it; deleted when it closes.
    QMenu* RowMenu(int row);

  protected:
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    struct BoxRequest;
    enum class Kind {
        Window,
        Button,
        Check,
        Option,
        Label,
        Banner,
        Picture,
        Progress,
        Frame,
        Combo,
        Edit,
        Timer
    };
    struct Binding {
        Kind kind;
        QWidget* widget;
        // What was last drawn, so an unchanged picture or colour is not
        // drawn again on every change of the control.
        int picture = -1;
        int colour = -1;
    };

    void Build();
    void EnsureRows(int rows);
    void Bind(const std::string& name, int index, Kind kind, QWidget* w);
    void Apply(const std::string& name, int index);  // reads the model
    void Apply(const std::string& name, int index, const Control& c);
    void ApplyAll();
    void OnChange(const Change& c);  // any thread
    // Applies the gathered changes. Without `wait` it gives up at once when
    // a worker is handing over a change: the window thread never waits for
    // a worker (which a busy machine may keep off the processor for long).
    void Flush(bool wait);
    void PollingTick();
    // The hook: the pending notices become the station's DeviceEvent.
    void TakeNotices();
    void WatchMonitor();
    // Keeps the monitor running (restarts it after a back-off) and watches
    // the descriptor of the one that runs.
    void SuperviseMonitor();
    // Calls a button procedure; nothing it throws reaches the event loop.
    void Call(const std::function<void()>& fn);

    // Message boxes.
    void Present(const MessageBox& box);  // any thread; returns once confirmed
    void ShowQueuedBox(const std::shared_ptr<BoxRequest>& req);
    void ShowBoxNow(const MessageBox& box, const std::shared_ptr<BoxRequest>& req);

    Station& st_;
    WindowOptions opts_;
    StartUpResult startup_ = StartUpResult::Stopped;
    int listener_ = 0;
    bool shut_down_ = false;
    bool in_discovery_ = false;
    // Rolling production was armed and its ticks go on until it is disarmed
    // and its last job has ended.
    bool rolling_active_ = false;
    bool screen_hooked_ = false;
    QSocketNotifier* notices_ = nullptr;
    QSocketNotifier* monitor_life_ = nullptr;
    int boxes_open_ = 0;
    int worker_nice_before_ = 0;

    std::map<std::pair<std::string, int>, Binding> bindings_;
    QGridLayout* grid_ = nullptr;
    QWidget* grid_box_ = nullptr;
    int rows_built_ = 0;
    QTimer* timer_ = nullptr;
    QTimer* flush_timer_ = nullptr;

    // Changes waiting for the window's thread, in the order first made.
    std::mutex dirty_mu_;
    std::vector<std::pair<std::string, int>> dirty_;
    std::map<std::pair<std::string, int>, Control> latest_;
    int rows_wanted_ = 0;
    std::vector<std::pair<std::string, int>> focus_;
    bool flush_posted_ = false;  // changes are waiting

    // Boxes raised by workers that wait for the operator.
    std::mutex box_mu_;
    std::condition_variable box_cv_;
    bool closing_ = false;
};

// A start-up that cannot go on (no recipe found, the recipe refused): the
// reason in a message box for the operator, then the program's exit code for
// it. Needs a QApplication.
int ShowStartUpFailure(const std::string& reason);

// When a screenshot is taken: after start-up, while a production run on the
// disks found is formatting them, or after that run.
enum class Moment { StartUp, DuringRun, AfterRun };

// Renders the window at `moment` to a PNG file. Returns the exit code.
// `afterRecipe` as for RunWindow (the program opens its production log there,
// so that the status line shows the day's counts).
int RenderScreenshot(Station& st, const std::string& file, Moment moment,
                     std::function<bool()> afterRecipe = {});

// Runs the operator window until it is closed. Needs a QApplication.
// Returns the program's exit code.
// With a link, the window starts dorvel from `monitorFolder` and ends it when
// it closes.
int RunWindow(Station& st, std::function<bool()> afterRecipe = {}, MonitorLink* link = nullptr,
              const std::string& monitorFolder = {});

}  // namespace qtui
}  // namespace galmor
