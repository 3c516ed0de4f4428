// The station's link to its device-change monitor `dorvel`: starting and
// ending the monitor process, and receiving its notices on the notice socket.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/autorun_policy.h"

namespace galmor {

// `DeviceEvent` values.
inline constexpr int16_t kDeviceEventNone = 0;     // nothing since start
inline constexpr int16_t kDeviceEventArrival = 1;  // "IN" pending
inline constexpr int16_t kDeviceEventHandled = 2;
inline constexpr int16_t kDeviceEventRemoval = 3;  // anything else pending

inline constexpr char kMonitorProgram[] = "dorvel";
inline constexpr int kMonitorWaitMs = 2000;
inline constexpr int kMonitorGraceMs = 500;
inline constexpr char kMonitorLoadFail[] = "Load Dorvel.exe Fail !!!";

// The pending event a notice makes: exactly "IN" is an arrival, anything else
// (including an empty or unknown notice) a removal.
int16_t DeviceEventOfNotice(std::string_view notice);

// The pending event after one more: a removal pending stays one whatever
// follows, so that its clean-up is not lost to a later arrival (a removal
// discovery finds the new disks too); otherwise the newer event counts.
int16_t MergeDeviceEvent(int16_t pending, int16_t incoming);

// The station's end of the notice socket.
class NoticeListener {
  public:
    NoticeListener() = default;
    ~NoticeListener();
    NoticeListener(const NoticeListener&) = delete;
    NoticeListener& operator=(const NoticeListener&) = delete;

    // Binds the notice socket in the private folder, mode 0600 whatever the
    // umask. A socket file left by a station that ended without cleaning up
    // is replaced; one that another running station listens on is left alone
    // and Open fails.
    bool Open(std::string* error);
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Reads every pending notice. The `DeviceEvent` they make together
    // (MergeDeviceEvent), or nothing when none was pending. A datagram from
    // another user than this process's is not a notice and is dropped.
    std::optional<int16_t> Drain();

    void Close();

  private:
    int fd_ = -1;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// The monitor process. Started with a pipe whose write end it holds for its
// whole life: it writes "R" once it watches, and the pipe's end of file tells
// the station that it ended.
class MonitorProcess {
  public:
    MonitorProcess() = default;
    ~MonitorProcess() { End(); }
    MonitorProcess(const MonitorProcess&) = delete;
    MonitorProcess& operator=(const MonitorProcess&) = delete;

    // Starts <folder>/dorvel in `folder`, with no terminal input or output
    // (`verbose` passes --verbose and keeps its output). Waits up to
    // `wait_ms` for it to report that it watches; returns early when it
    // ends. false, with the reason in *error, only when it could not start.
    bool Launch(const std::string& folder, int wait_ms, bool verbose, std::string* error);

    // True between a successful launch and the monitor's end.
    bool Running();
    bool Ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // Readable when the monitor ends (end of file); -1 when none runs.
    int life_fd() const { return life_fd_; }
    // The monitor's exit status once reaped (as waitpid gives it), or -1.
    int status() const { return status_; }

    // Ends the monitor: SIGTERM, SIGKILL after `grace_ms`, then reaps it.
    // Safe to call more than once.
    void End(int grace_ms = kMonitorGraceMs);

  private:
    bool Reap(bool block);

    pid_t pid_ = -1;
    int life_fd_ = -1;
    bool ready_ = false;
    int status_ = -1;
};

// What keeping the monitor running did on one look.
enum class Supervision {
    Quiet,          // nothing new (running, or waiting for its restart)
    Ended,          // it ended; a restart is due after the back-off
    Restarted,      // started again and watching: run a discovery
    RestartFailed,  // a restart did not get it watching; tried again later
};

// The back-off between restarts: doubles from the first to the last; it
// starts again from the first once a monitor has watched for kMonitorSteadyMs.
inline constexpr int kMonitorRestartFirstMs = 250;
inline constexpr int kMonitorRestartLastMs = 30000;
inline constexpr int kMonitorSteadyMs = 60000;

// The station's whole side of the link, in the order of start-up and
// shutdown: the autorun setting, the hook (the notice socket), the monitor.
class MonitorLink {
  public:
    explicit MonitorLink(AutorunStore& store) : autorun_(store) {}
    ~MonitorLink() { Shutdown(); }
    MonitorLink(const MonitorLink&) = delete;
    MonitorLink& operator=(const MonitorLink&) = delete;

    // Start-up step 1: autorun off for all drive types (where the platform
    // has such a setting).
    void TurnOffAutorun() { autorun_.TurnOff(); }
    // Start-up step 2: the hook. false (with the reason) when the notices
    // cannot be received; the station runs on without them.
    bool InstallHook(std::string* error) { return hook_.Open(error); }
    // Start-up step 4: dorvel from `folder`, waiting up to 2 s for it.
    // false when it could not start: the caller shows kMonitorLoadFail.
    // A monitor that started and watched is kept running (Supervise).
    bool StartMonitor(const std::string& folder, bool verbose, std::string* error);

    // Keeps the monitor running; call on every timer tick and when its life
    // descriptor is readable. A monitor that ended is started again after the
    // back-off; after a restart the caller runs a discovery, since changes
    // while none watched were not noticed. `note` says why, for the output.
    Supervision Supervise(std::string* note);
    // Milliseconds until the next restart is due (for tests), or -1.
    int64_t RestartDueInMs() const;

    // The hook's input: readable when notices are pending (-1 without hook).
    int notice_fd() const { return hook_.fd(); }
    // The hook: the pending notices merged into `DeviceEvent`. True when
    // there were any.
    bool TakeNotices(int16_t& device_event) {
        const auto e = hook_.Drain();
        if (e) device_event = MergeDeviceEvent(device_event, *e);
        return e.has_value();
    }

    MonitorProcess& monitor() { return monitor_; }

    // Shutdown steps 1 to 3: autorun as found, monitor ended and reaped, hook
    // removed. Safe to call more than once.
    void Shutdown() {
        autorun_.Restore();
        supervised_ = false;
        monitor_.End();
        hook_.Close();
    }

  private:
    AutorunPolicy autorun_;
    NoticeListener hook_;
    MonitorProcess monitor_;
    std::string folder_;
    bool verbose_ = false;
    bool supervised_ = false;  // a monitor started and watched; keep it so
    bool down_ = false;        // it ended and a restart is due at restart_at_
    int64_t restart_at_ = 0;
    int64_t backoff_ms_ = kMonitorRestartFirstMs;
    int64_t up_since_ = 0;
};

}  // namespace galmor
