// Worker threads: cooperative stop before the next command, one token per
// worker, parallel stop of a pool, joins on restart and destruction, the
// workers' priority, and the per-disk events.
#include "core/workers.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "ui/station.h"

using namespace galmor;
using namespace std::chrono_literals;

namespace {

// Waits until `pred` holds or 10 s have passed.
template <typename P>
bool Eventually(P pred) {
    for (int i = 0; i < 1000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

}  // namespace

TEST(WorkerStop, CommandInProgressCompletesAndNoFurtherCommandStarts) {
    std::atomic<int> started{0}, completed{0};
    std::atomic<bool> after_loop{false};
    Worker w;
    ASSERT_TRUE(w.Start([&] {
        for (;;) {
            CheckStop();  // what every library command does first
            ++started;
            std::this_thread::sleep_for(20ms);  // the command itself
            ++completed;
        }
        after_loop = true;
    }));
    ASSERT_TRUE(Eventually([&] { return started.load() >= 2; }));
    w.Stop();
    EXPECT_FALSE(w.Busy());
    EXPECT_EQ(started.load(), completed.load());
    EXPECT_FALSE(after_loop.load());
}

TEST(WorkerStop, LibraryCommandAfterStopIsNeverSent) {
    // The library is not loaded: a command that got past the stop check would
    // crash on its missing export.
    Sarnik lib;
    std::atomic<bool> threw{false};
    Worker w;
    std::mutex mu;
    std::condition_variable cv;
    bool go = false;
    ASSERT_TRUE(w.Start([&] {
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return go; });
        }
        try {
            uint8_t buf[512];
            lib.Read(3, 1, 0, buf);
        } catch (const StopRequested&) {
            threw = true;
            throw;
        }
    }));
    w.RequestStop();
    {
        std::lock_guard<std::mutex> lock(mu);
        go = true;
    }
    cv.notify_all();
    w.Join();
    EXPECT_TRUE(threw.load());
}

TEST(WorkerStop, PauseEndsOnStopRequest) {
    Station st;
    st.TimeOfDay = [] { return 100.0; };  // the clock stands still: the pause never ends by itself
    std::atomic<bool> in_pause{false}, after_pause{false};
    Worker w;
    ASSERT_TRUE(w.Start([&] {
        in_pause = true;
        WaitSeconds(st, 1.0f);
        after_pause = true;
    }));
    ASSERT_TRUE(Eventually([&] { return in_pause.load(); }));
    w.Stop();
    EXPECT_FALSE(after_pause.load());
}

TEST(WorkerStop, EachWorkerHasItsOwnToken) {
    WorkerPool pool;
    std::atomic<bool> stopped0{false}, stopped1{false};
    auto job = [](std::atomic<bool>& stopped) {
        return [&stopped] {
            try {
                for (;;) {
                    CheckStop();
                    std::this_thread::sleep_for(2ms);
                }
            } catch (const StopRequested&) {
                stopped = true;
                throw;
            }
        };
    };
    ASSERT_TRUE(pool.Start(0, job(stopped0)));
    ASSERT_TRUE(pool.Start(1, job(stopped1)));
    pool.at(0).Stop();
    EXPECT_TRUE(stopped0.load());
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(stopped1.load());
    EXPECT_EQ(pool.BusyCount(), 1);
    pool.StopAll();
    EXPECT_TRUE(stopped1.load());
    EXPECT_EQ(pool.BusyCount(), 0);
}

TEST(WorkerStop, PoolRequestsEveryStopBeforeWaitingForAny) {
    // Each job, once stopped, waits until all eight have been stopped. A pool
    // that joined one worker before asking the next to stop would leave the
    // first one waiting (it gives up after 5 s and reports it).
    WorkerPool pool;
    std::mutex mu;
    std::condition_variable cv;
    int stopped = 0;
    std::atomic<int> gave_up{0};
    for (int i = 0; i < WorkerPool::kSize; ++i) {
        ASSERT_TRUE(pool.Start(i, [&] {
            try {
                for (;;) {
                    CheckStop();
                    std::this_thread::sleep_for(2ms);
                }
            } catch (const StopRequested&) {
                std::unique_lock<std::mutex> lock(mu);
                ++stopped;
                cv.notify_all();
                if (!cv.wait_for(lock, 5s, [&] { return stopped == WorkerPool::kSize; })) ++gave_up;
                throw;
            }
        }));
    }
    pool.StopAll();
    EXPECT_EQ(gave_up.load(), 0);
    EXPECT_EQ(stopped, WorkerPool::kSize);
}

TEST(WorkerLifecycle, RestartStopsTheEarlierJobFirst) {
    Worker w;
    std::atomic<bool> first_stopped{false}, second_ran{false};
    std::atomic<bool> overlap{false};
    std::atomic<int> running{0};
    ASSERT_TRUE(w.Start([&] {
        ++running;
        try {
            for (;;) {
                CheckStop();
                std::this_thread::sleep_for(2ms);
            }
        } catch (const StopRequested&) {
            first_stopped = true;
            --running;
            throw;
        }
    }));
    ASSERT_TRUE(Eventually([&] { return running.load() == 1; }));
    ASSERT_TRUE(w.Start([&] {
        if (running.load() != 0) overlap = true;
        second_ran = true;
    }));
    w.Join();
    EXPECT_TRUE(first_stopped.load());
    EXPECT_TRUE(second_ran.load());
    EXPECT_FALSE(overlap.load());
}

TEST(WorkerLifecycle, FailureInsideAJobStaysInItsThread) {
    Worker w;
    ASSERT_TRUE(w.Start([] { throw std::runtime_error("step failed"); }));
    w.Join();
    EXPECT_FALSE(w.Busy());
    // The slot can be used again.
    std::atomic<bool> ran{false};
    ASSERT_TRUE(w.Start([&] { ran = true; }));
    w.Join();
    EXPECT_TRUE(ran.load());
}

TEST(WorkerLifecycle, DestructionStopsAndJoins) {
    std::atomic<bool> stopped{false};
    {
        Worker w;
        ASSERT_TRUE(w.Start([&] {
            try {
                for (;;) {
                    CheckStop();
                    std::this_thread::sleep_for(2ms);
                }
            } catch (const StopRequested&) {
                stopped = true;
                throw;
            }
        }));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(stopped.load());
}

TEST(WorkerLifecycle, PoolRefusesSlotsOutsideIt) {
    WorkerPool pool;
    EXPECT_FALSE(pool.Start(-1, [] {}));
    EXPECT_FALSE(pool.Start(WorkerPool::kSize, [] {}));
    EXPECT_TRUE(pool.Start(WorkerPool::kSize - 1, [] {}));
    pool.JoinAll();
}

TEST(WorkerLifecycle, WorkersYieldToTheWindowOnlyWhenAsked) {
    // The nice value a worker runs at, seen from inside its thread.
    const auto niceOfAWorker = [] {
        std::atomic<int> seen{-100};
        Worker w;
        EXPECT_TRUE(w.Start([&] {
            errno = 0;
            seen = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        }));
        w.Join();
        return seen.load();
    };
    errno = 0;
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    const int before = WorkerNice();

    SetWorkerNice(0);
    EXPECT_EQ(niceOfAWorker(), own);
    SetWorkerNice(5);
    EXPECT_EQ(niceOfAWorker(), std::min(19, own + 5));
    // Only the worker's thread: the caller keeps its own.
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))), own);
    SetWorkerNice(40);  // out of range: the weakest
    EXPECT_EQ(WorkerNice(), 19);
    SetWorkerNice(before);
}

TEST(PortEventTest, SetResetPollAndWait) {
    PortEvent e;
    EXPECT_FALSE(e.Poll());
    EXPECT_FALSE(e.WaitFor(5ms));
    e.Set();
    EXPECT_TRUE(e.Poll());
    EXPECT_TRUE(e.Poll());  // manual reset: stays set
    e.Reset();
    EXPECT_FALSE(e.Poll());

    std::thread t([&] {
        std::this_thread::sleep_for(20ms);
        e.Set();
    });
    EXPECT_TRUE(e.WaitFor(10s));
    t.join();
}
