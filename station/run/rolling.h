// Rolling production: every socket (a row of the grid and its port slot)
// runs its own job as soon as a fresh disk of the family is seated in it,
// shows its verdict until that disk is pulled, and starts the next disk
// seated there by itself. The batch run (Start) stays as it is; while rolling
// is armed, Start, Low level Format and Scan do nothing.
//
// The API, for the window and the headless watching station (all calls on
// the window thread):
//
//   RollingArm(st, true, opts)  arms rolling mode: starts a new lot (its id
//                               is printed by the caller, RollingLot().id),
//                               runs a discovery and starts the sockets that
//                               hold fresh disks. RollingArm(st, false) stops
//                               arming: running jobs finish, nothing new starts.
//   RollingTick(st)             call on every polling-timer tick instead of
//                               Timer1_Timer (Timer1_Timer forwards to it while
//                               armed): turns a pending device notice into a
//                               discovery that keeps every busy socket's disk in
//                               its row, collects ended jobs and starts sockets
//                               whose fresh disk is waiting.
//   RollingLot(st)              the lot counter: "k of N passed, f failed".
//   RollingSockets(st)          what each socket shows (for a row's context menu
//                               and the printed grid).
//   ReworkPort(st, port)        the operator's "Re-work" on row `port`
//                               (0-based): its finished disk (or a disk of
//                               another recipe) runs again at the next tick.
//
// Each socket's job is the batch run's per-disk job (the same steps, pauses,
// codes and texts), preceded by the low-level format of that disk when
// RollingOptions::lowLevelFormat is set. Every disk is recorded in the
// production log as it finishes, with the lot id.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace galmor {

struct StationCore;

struct RollingOptions {
    // Each disk gets the low-level format before the checked items.
    bool lowLevelFormat = false;
    // Stop arming new disks once this many have passed (0: no limit).
    int lot = 0;
    // A finished disk of this recipe seated again runs again (else it only
    // shows "finished" with its serial).
    bool rework = false;
};

// What a socket shows.
enum class SocketState {
    Empty,     // no disk seated
    Waiting,   // a fresh disk waits for its start (the next tick, or room in
               // the lot)
    Running,   // its job runs
    Passed,    // its disk passed; shown until the disk is pulled
    Failed,    // its disk failed; shown until the disk is pulled
    Finished,  // a finished disk of this recipe seated again: not run
    Held,      // a disk that is not started: refused by discovery, of another
               // recipe, or seated after the lot was complete
};

struct SocketInfo {
    int row = 0;
    SocketState state = SocketState::Empty;
    int16_t status = 0;  // the disk's error status (Passed: 0)
    std::string serial;  // Finished/Passed: the serial its configuration holds
    std::string usbPort;
};

struct LotCount {
    std::string id;         // the lot id in the production log
    int target = 0;         // N of --lot (0: open lot)
    int passed = 0;         // disks that passed in this lot
    int failed = 0;         // disks that failed in this lot
    int running = 0;        // jobs going on now
    bool complete = false;  // target reached and no job left running
    // "k of N passed, f failed" (open lot: "k passed, f failed").
    std::string Text() const;
};

// Arms (on) or disarms rolling mode. Arming refuses (false) while a batch
// run, a low-level format or a scan is going on.
bool RollingArm(StationCore& st, bool on, const RollingOptions& opts = {});
bool RollingArmed(const StationCore& st);
// One polling tick; returns the rows whose job ended since the last tick (in
// that order) through `finished` and true when anything shown changed.
bool RollingTick(StationCore& st, std::vector<int>* finished = nullptr);
// The same, telling `ended` of each job that ended (its row and verdict)
// while the row still shows that disk, before the bus is looked at again.
bool RollingTick(StationCore& st, const std::function<void(int row, bool passed)>& ended);
LotCount RollingLot(const StationCore& st);
std::vector<SocketInfo> RollingSockets(const StationCore& st);
// False when the row has no disk or its job is running.
bool ReworkPort(StationCore& st, int port);

}  // namespace galmor
