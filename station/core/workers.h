// Worker threads of the station: one thread per disk, stopped cooperatively.
//
// A worker runs its job with its own StopToken installed (StopScope), so every
// library call of the job checks for a stop request first and throws
// StopRequested, which the worker catches at its top. Stopping a worker means
// requesting the stop and joining: it ends before its next command, so nobody
// waits longer than one command's time-out. Threads are never detached.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/port.h"
#include "core/sarnik_api.h"

namespace galmor {

// A manual-reset signal: set by one thread, polled or awaited by others.
class PortEvent {
  public:
    void Set();
    void Reset();
    bool Poll() const;
    // Waits up to `timeout` for the signal; true when it is set.
    bool WaitFor(std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

// How much workers started from now on yield the processor to the program's
// other threads (a nice value, 0 to 19, applied to each worker thread alone).
// A window raises it so that on a loaded machine its thread, which needs the
// processor for a few milliseconds at a time, is not queued behind the
// workers; the workers wait for devices most of the time and lose little.
void SetWorkerNice(int nice);
int WorkerNice();

// One worker thread.
class Worker {
  public:
    Worker() = default;
    ~Worker();  // stops and joins a thread that is still attached
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Starts `job` on a new thread. A thread left from an earlier start is
    // stopped and joined first. Returns false when no thread could be created.
    bool Start(std::function<void()> job);
    // Asks the thread to stop before its next command; does not wait.
    void RequestStop();
    // Waits for the thread to end (no-op without a thread).
    void Join();
    // RequestStop then Join.
    void Stop();
    // A thread is attached and its job has not returned yet.
    bool Busy() const { return busy_.load(std::memory_order_acquire); }

  private:
    std::mutex thread_mu_;  // guards thread_; held while joining
    std::thread thread_;
    std::mutex token_mu_;  // guards token_; never held for long
    std::shared_ptr<StopToken> token_;
    // Cleared by the thread when its job has returned. The thread never
    // outlives the Worker: the destructor joins it.
    std::atomic<bool> busy_{false};
};

// The workers of one kind of job, one slot per run port.
class WorkerPool {
  public:
    static constexpr int kSize = kMaxRunPorts;

    // Starts `job` in slot `index` (0-based); false for an index outside the
    // pool or when no thread could be created.
    bool Start(int index, std::function<void()> job);
    // Requests every slot to stop, then joins them all, so the workers stop
    // at the same time rather than one after another.
    void StopAll();
    // Waits for every slot's thread to end by itself.
    void JoinAll();
    // Number of slots whose job is still running.
    int BusyCount() const;
    Worker& at(int index) { return workers_.at(static_cast<size_t>(index)); }

  private:
    std::array<Worker, kSize> workers_;
};

// The workers of a station: the production run's and the low-level format's,
// with the low-level format's per-disk events and flags.
struct StationWorkers {
    std::array<PortEvent, kMaxRunPorts> events;  // "this disk's worker has stopped"
    std::atomic<bool> lowFormatRunning{false};
    std::atomic<bool> lowFormatCancel{false};
    // Disks served by the current run / low-level format (at most 8).
    std::atomic<int16_t> runDisks{0};
    std::atomic<int16_t> lowFormatDisks{0};
    // The pools come last: destroyed first, they join their threads while the
    // events and flags above still exist.
    WorkerPool run;        // the production run's workers, one per disk
    WorkerPool lowFormat;  // the low-level format's workers
};

}  // namespace galmor
