// The station below the window: command library, recipe, port table, the
// run's state and the workers. The run, the low-level format, Scan, discovery
// and the operator's controls take it as their first argument; they reach the
// window only through the StationView it is given.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controller/port_job.h"
#include "core/port.h"
#include "core/sarnik_api.h"
#include "core/view.h"
#include "core/workers.h"
#include "recipe/settings.h"

namespace galmor {

struct StationLog;

// A result column as the operator sees it: empty texts while hidden.
struct ColumnOutcome {
    std::string mark, text;
};

struct PortOutcome {
    int index = 0;
    bool served = false;  // the last action had a worker for this port
    int16_t status = 0;
    std::array<ColumnOutcome, kColumnCount> columns{};
};

// What the last production run (or Scan) came to.
struct RunOutcome {
    bool ended = false;          // the run showed its result
    bool failed = false;         // at least one disk failed
    bool bannerVisible = false;  // the banner is shown (also when its text is empty)
    std::string banner;
    std::vector<PortOutcome> ports;  // every discovered port, in order
};

// Run-level events for whoever drives the station (the headless runner, a
// watching station).
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void RunEnded(const RunOutcome& outcome) = 0;
};

// A port's row as the steps see it: passes every change on to the window's
// row and keeps the result columns, so that a run's outcome never has to be
// read back from the window.
class RecordingPortView final : public PortView {
  public:
    void Attach(PortView* target) { target_ = target; }
    void Reset(bool firstBuild) override;
    void HideResults() override;
    void ShowMark(Column c, bool visible) override;
    void ShowText(Column c, bool visible) override;
    void SetMark(Column c, const std::string& text) override;
    void SetText(Column c, const std::string& text) override;
    void SetPicture(Picture p) override { target_->SetPicture(p); }
    void ShowProgress(bool visible) override { target_->ShowProgress(visible); }
    void SetProgress(int value) override { target_->SetProgress(value); }
    void SetProgressMaximum(int maximum) override { target_->SetProgressMaximum(maximum); }
    void AddProgress(int delta) override { target_->AddProgress(delta); }
    Answer ShowMessage(const std::string& text, Icon icon) override {
        return target_->ShowMessage(text, icon);
    }
    void SetStep(const std::string& step) override { target_->SetStep(step); }
    void SetDisk(const std::string& where) override { target_->SetDisk(where); }
    // The column as shown.
    ColumnOutcome Shown(Column c) const;

  private:
    struct Label {
        bool visible = false;
        std::string text;
    };
    mutable std::mutex mu_;
    PortView* target_ = nullptr;
    std::array<Label, kColumnCount> marks_{}, texts_{};
};

// Rolling production (run/rolling.h): the lot and each socket's state.
struct RollingSocket {
    // A SocketState; written by the socket's worker while it runs, else by
    // the window thread.
    std::atomic<int> state{0};
    // The job has ended and its verdict is not yet taken by a tick.
    std::atomic<bool> ended{false};
    // Window thread only: the disk (its row identity) the state stands for,
    // a re-work asked for it, and the serial its configuration holds.
    std::string disk;
    bool rework = false;
    std::string serial;
    // The USB port this socket last held a disk in: the next disk seated
    // there takes the same row.
    std::string usbPort;
};

struct RollingRun {
    std::atomic<bool> armed{false};
    bool lowLevelFormat = false;
    bool rework = false;
    int target = 0;
    std::string lotId;
    std::atomic<int> passed{0}, failed{0}, running{0};
    // A job ended since the last discovery: look at the bus again.
    bool rediscover = false;
    // The lot's verdict has been shown on the banner.
    bool lotBannerShown = false;
    std::array<RollingSocket, kMaxRunPorts> sockets{};
};

struct StationCore {
    Sarnik lib;
    // The library the steps use: `lib`, or a fake a test installs.
    SarnikApi* api = &lib;
    // The program's own folder: where "Product.ini" is read from.
    std::string HomeDir;
    ProductSettings settings;
    // The boot-sector template, built once at start-up.
    std::array<uint8_t, kSector> BootSectorTemplate{};

    PortTable ports;
    std::atomic<int16_t> DiskCount{0};

    // Discovery state.
    std::string LastDevicePath;
    bool NoCdromUnit = true;
    int32_t LastResult = 0;
    // Devices (keys from DeviceKey()) that failed a vendor read during this
    // discovery: not controllers of the family, sent no further vendor command.
    std::set<std::string> ForeignDevices;
    // Per port, why discovery refuses to serve it (a status code, 0 when it
    // does not): a CD-ROM unit whose device showed no disk unit (nothing
    // proves it a flash disk of the family), a unit whose probe failed or
    // could not run, a unit that could not be opened. Such a port gets no
    // vendor write; a run, a scan or a low-level format fails it.
    std::array<int16_t, kMaxPorts> Refused{};
    // The disk each row shows (its USB port path, USB serial and device
    // path; empty for an empty row), so that a row whose disk left or
    // changed is cleared before it shows the next one. Window thread only.
    std::array<std::string, kMaxPorts> RowDisk{};
    // Where each port's unit hangs, as the last discovery found it (empty
    // when the library could not tell).
    std::array<UnitLocation, kMaxPorts> Locations{};

    // The pending device change from the monitor's notices (values in
    // core/monitor_link.h). Written by the hook and read and reset by the
    // polling timer, both on the window thread.
    int16_t DeviceEvent = 0;
    // A unit of the family that an arrival's discovery could not open (udev
    // still applying its rules on a busy machine, another program holding
    // it) is looked at again every so often until `OpenRetryUntil`: no later
    // event may come for it. Window thread only; unset when no row waits.
    std::chrono::steady_clock::time_point OpenRetryNext{}, OpenRetryUntil{};

    // Run state.
    std::atomic<bool> RunInProgress{false};
    std::atomic<int16_t> FinishedCount{0};
    RunState run;

    // Lets the window process its pending events during a pause (window
    // thread only). Empty in headless use.
    std::function<void()> ProcessEvents;
    // Time of day in seconds (with fractions) since midnight; replaceable in tests.
    std::function<double()> TimeOfDay;
    // The thread that runs the window; only there may a pause process events.
    std::thread::id WindowThread;

    // Who hears of a run's end.
    RunObserver* observer = nullptr;

    // Rolling production; not armed for a batch station.
    RollingRun rolling;

    // The production log; none with --no-log (and in tests that open none).
    std::shared_ptr<StationLog> log;

    // Declared last: destroyed first, so every worker is stopped and joined
    // while the rest of the station still exists.
    StationWorkers workers;

    StationCore();
    virtual ~StationCore() = default;
    StationCore(const StationCore&) = delete;
    StationCore& operator=(const StationCore&) = delete;

    SarnikApi& Lib() { return *api; }
    // The window; before SetView one that shows nothing. Set once, before
    // any worker starts.
    void SetView(StationView* v);
    StationView& View();
    // Row `row` (0-based) of the grid as steps see it.
    PortView& Row(int row);
    // The job of 1-based port `slot`; slot must be 1..kMaxPorts.
    PortJob Job(int16_t slot);

    // The outcome of the last production run or Scan, as it stands now.
    RunOutcome Outcome() const;
    // One result column of row `row` as the operator sees it.
    ColumnOutcome Shown(int row, Column c) const;
    // Low-level format: whether the last one completed, and whether a disk's
    // chip list could not be read.
    bool LowFormatComplete() const { return lowFormatComplete_.load(); }
    bool LowFormatChipListFailed() const { return lowFormatChipListFailed_.load(); }
    // Whether a disk of the last low-level format was held by another program.
    bool LowFormatBusy() const { return lowFormatBusy_.load(); }

    // Run-layer bookkeeping (used by the run, Scan and the low-level format).
    void SetBanner(bool visible, const std::string& text, bool failed, bool ended);
    void HideBanner();
    void SetServed(int count) { served_ = count; }
    void SetLowFormatComplete(bool v) { lowFormatComplete_ = v; }
    void SetLowFormatChipListFailed(bool v) { lowFormatChipListFailed_ = v; }
    void SetLowFormatBusy(bool v) { lowFormatBusy_ = v; }

  private:
    StationView* view = nullptr;
    std::array<RecordingPortView, kMaxPorts> rows_;
    NullPortView nullRow_;
    mutable std::mutex outcome_mu_;
    bool bannerVisible_ = false;
    bool ended_ = false;
    bool failed_ = false;
    std::string banner_;
    std::atomic<int> served_{0};
    std::atomic<bool> lowFormatComplete_{false};
    std::atomic<bool> lowFormatChipListFailed_{false};
    std::atomic<bool> lowFormatBusy_{false};
};

// The station's pause: a busy wait on the time of day that keeps the window
// responsive and survives midnight. Honours the calling worker's stop request.
void WaitSeconds(StationCore& st, float seconds);

}  // namespace galmor
