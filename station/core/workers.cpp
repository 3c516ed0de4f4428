#include "core/workers.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace galmor {

namespace {

std::atomic<int> g_worker_nice{0};

// The calling thread's nice value raised by `nice`; nothing else changes
// when the system refuses.
void YieldToOtherThreads(int nice) {
    if (nice <= 0) return;
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0) return;
    ::setpriority(PRIO_PROCESS, tid, std::min(19, now + nice));
}

}  // namespace

void SetWorkerNice(int nice) {
    g_worker_nice.store(std::clamp(nice, 0, 19), std::memory_order_relaxed);
}

int WorkerNice() {
    return g_worker_nice.load(std::memory_order_relaxed);
}

void PortEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        set_ = true;
    }
    cv_.notify_all();
}

void PortEvent::Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = false;
}

bool PortEvent::Poll() const {
    std::lock_guard<std::mutex> lock(mu_);
    return set_;
}

bool PortEvent::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
}

Worker::~Worker() {
    Stop();
}

bool Worker::Start(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(thread_mu_);
    if (thread_.joinable()) {
        // The earlier job of this slot: stop it before its next command.
        RequestStop();
        thread_.join();
    }
    auto token = std::make_shared<StopToken>();
    {
        std::lock_guard<std::mutex> tl(token_mu_);
        token_ = token;
    }
    busy_.store(true, std::memory_order_release);
    std::atomic<bool>* busy = &busy_;
    try {
        // The thread keeps its own reference to its token.
        thread_ = std::thread([token, busy, nice = WorkerNice(), job = std::move(job)] {
            YieldToOtherThreads(nice);
            StopScope scope(token.get());
            try {
                job();
            } catch (const StopRequested&) {
                // Stopped on request: the job simply ends.
            } catch (...) {
                // A job handles its own failures; nothing may leave the thread.
            }
            busy->store(false, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        busy->store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void Worker::RequestStop() {
    std::lock_guard<std::mutex> lock(token_mu_);
    if (token_) token_->request();
}

void Worker::Join() {
    std::lock_guard<std::mutex> lock(thread_mu_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Worker::Stop() {
    RequestStop();
    Join();
}

bool WorkerPool::Start(int index, std::function<void()> job) {
    if (index < 0 || index >= kSize) return false;
    return workers_[static_cast<size_t>(index)].Start(std::move(job));
}

void WorkerPool::StopAll() {
    for (auto& w : workers_) w.RequestStop();
    for (auto& w : workers_) w.Join();
}

void WorkerPool::JoinAll() {
    for (auto& w : workers_) w.Join();
}

int WorkerPool::BusyCount() const {
    int n = 0;
    for (const auto& w : workers_) n += w.Busy() ? 1 : 0;
    return n;
}

}  // namespace galmor
