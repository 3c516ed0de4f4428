// The station's side of the production log: opening it at start-up, a run id
// per run, the serial reservation hook, and one record per disk that a run,
// a low-level format or a scan finishes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/port_job.h"
#include "core/port.h"
#include "prodlog/digest.h"
#include "prodlog/record.h"
#include "prodlog/store.h"

namespace galmor {

struct StationCore;

struct LogSetup {
    std::string url;        // --log; empty for the station's own file
    bool disabled = false;  // --no-log
    std::string station;    // --station; empty for the host name
};

struct StationLog {
    std::unique_ptr<prodlog::Store> store;
    std::string station;
    prodlog::RecipeDigest recipe;

    std::mutex mutex;    // guards run_id, kind and ports
    std::string run_id;  // of the run, low-level format or scan going on
    std::string lot_id;  // of the rolling lot going on; empty for a batch run
    prodlog::RunKind kind = prodlog::RunKind::Production;
    // Per port: the serial of the current job was reserved in the log.
    std::array<std::atomic<bool>, kMaxPorts> reserved{};

    // Per port, for the current job.
    struct PortLog {
        // What the disk carried when the job began.
        prodlog::PriorConfig prior;
        // The job's record replaces the disk's earlier one: always for a
        // production run; for a scan once it rewrites the block.
        bool supersede = false;
        // The record written before the block went to the disk, and the block.
        int64_t configured = 0;
        std::array<uint8_t, kSector> block{};
    };
    std::array<PortLog, kMaxPorts> ports{};
};

// The host name, or "station" when it cannot be read.
std::string HostName();

// Opens the log as `setup` says (after the recipe has been loaded: the
// recipe's files are digested here) and installs the serial reservation.
// With --no-log nothing is opened and the station draws serials as it
// always has. False with the reason when the log cannot be opened.
bool OpenProductionLog(StationCore& st, const LogSetup& setup, std::string* error);

// Starts a new run id; called by Start, "Low level Format" and the scan.
void BeginLoggedRun(StationCore& st, prodlog::RunKind kind = prodlog::RunKind::Production);

// Starts port `index`'s own record of the current run again: a rolling
// socket's next disk carries nothing over from the disk before it.
void BeginLoggedDisk(StationCore& st, int16_t index);

// The id of the lot that starts now: the run id the log just gave it, else
// one of the same form. Recorded with every disk of the lot.
std::string LotIdOf(StationCore& st);

// Reads the configuration the job's disk carries now, before the job
// changes it: a production run's record replaces the disk's earlier one.
// Without a log it does nothing (and sends nothing).
void NoteDiskBeforeJob(StationCore& st, const PortJob& job, bool supersede);

// The unfinished record of the disk on `job`'s port (its job was cut short
// after the configuration was written), or 0. Reads the disk's block.
int64_t FindUnverified(StationCore& st, const PortJob& job);

// Completes that record with the port's verdict now (a scan's).
void SettleUnverified(StationCore& st, int16_t index, int64_t id);

// After start-up: each present disk whose configuration has an unfinished
// record shows "Not verified" in its "Check Config" column until a scan.
void ShowUnverifiedDisks(StationCore& st);

// Times the steps of one disk's job.
class StepClock {
  public:
    template <typename F>
    void Time(const char* step, F&& f) {
        const auto t0 = std::chrono::steady_clock::now();
        struct Stop {
            StepClock* self;
            const char* step;
            std::chrono::steady_clock::time_point t0;
            ~Stop() {
                self->steps.push_back(
                    {step,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()});
            }
        } stop{this, step, t0};
        f();
    }
    std::vector<prodlog::StepTime> steps;
};

// The test items that are checked, by their command-line names.
std::vector<std::string> CheckedItems(StationCore& st);

// How a disk ended, as the log keeps it.
struct DiskOutcome {
    int error_status = 0;
    std::string error_text;  // the "Format" column's text of the code, or a note
    bool passed = true;
};
// The outcome the port's ErrorStatus gives (what its picture shows).
DiskOutcome OutcomeOfPort(const StationCore& st, int16_t index);

// Records port `index`'s disk with the grid's columns as they now stand.
// Without a log it does nothing. A disk the log cannot take is failed (0x87)
// with a message: a disk that is not in the log must not count as made.
void RecordDisk(StationCore& st, int16_t index, prodlog::RunKind kind,
                const std::vector<std::string>& items, const std::vector<prodlog::StepTime>& steps,
                const DiskOutcome& outcome);

// The day's counts of this station in the window's status line.
void UpdateDayStatus(StationCore& st);

}  // namespace galmor
