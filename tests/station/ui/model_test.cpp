// The window model as views see it: changes delivered in the order made, with
// no lock held while a listener runs, message boxes that wait for a view's
// presenter, and the design state that rows created later share.
#include "ui/model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace galmor;
using namespace std::chrono_literals;

namespace {

// A one-shot gate a thread waits on with a limit, so a broken model fails the
// test instead of hanging it.
class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> l(mu_);
        open_ = true;
        cv_.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> l(mu_);
        return cv_.wait_for(l, limit, [&] { return open_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

}  // namespace

TEST(ModelDelivery, ListenerWaitingForAnotherThreadThatChangesTheModelDoesNotDeadlock) {
    // A view that hands a change to its own thread and waits for it: that
    // thread is meanwhile changing the model itself and reading it.
    WindowModel m;
    Gate inListener, release;
    std::atomic<bool> first{true};
    std::vector<std::string> seen;
    std::mutex seenMu;
    m.Subscribe([&](const Change& c) {
        {
            std::lock_guard<std::mutex> l(seenMu);
            seen.push_back(c.name);
        }
        if (c.name == "FG" && first.exchange(false)) {
            inListener.Open();
            release.Wait();
        }
    });

    std::thread worker([&] { m.SetCaption("FG", 0, "V"); });
    ASSERT_TRUE(inListener.Wait());

    auto window = std::async(std::launch::async, [&] {
        m.SetCaption("WaitLab", -1, "x");
        m.SetEnabled("GoCmd", -1, true);
        return m.Get1("GoCmd").enabled && m.Get("FG", 0).caption == "V";
    });
    const bool windowDone = window.wait_for(10s) == std::future_status::ready;
    release.Open();
    worker.join();
    ASSERT_TRUE(windowDone) << "a change on another thread blocked behind a listener";
    EXPECT_TRUE(window.get());
    // The window thread's changes were still delivered, after the worker's.
    std::lock_guard<std::mutex> l(seenMu);
    EXPECT_EQ(seen, (std::vector<std::string>{"FG", "WaitLab", "GoCmd"}));
}

TEST(ModelDelivery, ChangesOfManyThreadsArriveOnceEachInTheOrderMade) {
    WindowModel m;
    for (int row = 1; row < 8; ++row) m.CreateRow(row);
    constexpr int kPerRow = 400;
    std::mutex mu;
    std::vector<uint64_t> order;
    std::vector<std::vector<int>> perRow(8);
    std::atomic<int> concurrent{0}, maxConcurrent{0};
    m.Subscribe([&](const Change& c) {
        const int now = ++concurrent;
        int prev = maxConcurrent.load();
        while (now > prev && !maxConcurrent.compare_exchange_weak(prev, now)) {
        }
        {
            std::lock_guard<std::mutex> l(mu);
            order.push_back(c.seq);
            if (c.name == "ProgressBar") perRow[static_cast<size_t>(c.index)].push_back(1);
        }
        --concurrent;
    });

    std::vector<std::thread> workers;
    for (int row = 0; row < 8; ++row) {
        workers.emplace_back([&m, row] {
            for (int v = 1; v <= kPerRow; ++v) m.SetValue("ProgressBar", row, v);
        });
    }
    for (auto& w : workers) w.join();

    std::lock_guard<std::mutex> l(mu);
    ASSERT_EQ(order.size(), 8u * kPerRow);
    for (size_t i = 1; i < order.size(); ++i) ASSERT_LT(order[i - 1], order[i]) << i;
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(perRow[static_cast<size_t>(row)].size(), static_cast<size_t>(kPerRow));
        EXPECT_EQ(m.Get("ProgressBar", row).value, kPerRow);
    }
    EXPECT_EQ(maxConcurrent.load(), 1) << "listener called on two threads at once";
}

TEST(ModelDelivery, ListenerMayChangeTheModelAndUnsubscribeItself) {
    WindowModel m;
    std::vector<std::string> seen;
    int id = 0;
    id = m.Subscribe([&](const Change& c) {
        seen.push_back(c.name);
        if (c.name == "Timer1") m.SetCaption("TimLab", -1, "False");
        if (c.name == "TimLab") m.Unsubscribe(id);
    });
    m.SetEnabled("Timer1", -1, false);
    m.SetCaption("WaitLab", -1, "after");
    EXPECT_EQ(seen, (std::vector<std::string>{"Timer1", "TimLab"}));
    EXPECT_EQ(m.Get1("TimLab").caption, "False");
}

TEST(ModelDelivery, UnsubscribeWaitsForACallInProgressOnAnotherThread) {
    WindowModel m;
    Gate inListener, release;
    std::atomic<bool> running{false};
    std::atomic<int> calls{0};
    const int id = m.Subscribe([&](const Change&) {
        running = true;
        ++calls;
        inListener.Open();
        release.Wait();
        running = false;
    });
    std::thread worker([&] { m.SetVisible("PassLab", -1, true); });
    ASSERT_TRUE(inListener.Wait());

    std::atomic<bool> unsubscribed{false};
    std::thread window([&] {
        m.Unsubscribe(id);
        unsubscribed = true;
        EXPECT_FALSE(running.load()) << "Unsubscribe returned while the listener still ran";
    });
    // Let the window thread reach its wait, then end the call.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(unsubscribed.load());
    release.Open();
    window.join();
    worker.join();
    m.SetVisible("PassLab", -1, false);
    EXPECT_EQ(calls.load(), 1);
}

TEST(ModelMessages, WithoutAPresenterTheyAreRecordedAndDoNotWait) {
    WindowModel m;
    std::vector<ChangeKind> kinds;
    m.Subscribe([&](const Change& c) { kinds.push_back(c.kind); });
    m.ShowMessage("Get ChipNumber fail", Icon::None);
    m.ShowMessage("No items checked", Icon::Exclamation);
    ASSERT_EQ(m.Messages().size(), 2u);
    EXPECT_EQ(m.Messages()[1].text, "No items checked");
    EXPECT_EQ(m.Messages()[1].icon, Icon::Exclamation);
    EXPECT_EQ(kinds, (std::vector<ChangeKind>{ChangeKind::Message, ChangeKind::Message}));
}

TEST(ModelMessages, AWorkersBoxWaitsForThePresenterWhichMayReadTheModel) {
    WindowModel m;
    Gate shown, answered;
    std::thread::id presentedOn;
    std::string seenCaption;
    m.SetMessagePresenter([&](const MessageBox& box) {
        presentedOn = std::this_thread::get_id();
        // No lock of the model is held here.
        seenCaption = m.Get("FG", 0).caption + "|" + box.text;
        m.SetCaption("WaitLab", -1, "read");
        shown.Open();
        answered.Wait();
    });
    std::atomic<bool> workerWentOn{false};
    std::thread::id workerId;
    std::thread worker([&] {
        workerId = std::this_thread::get_id();
        m.SetCaption("FG", 0, "X");
        m.ShowMessage("Get ChipNumber fail", Icon::None);
        workerWentOn = true;
    });
    ASSERT_TRUE(shown.Wait());
    EXPECT_FALSE(workerWentOn.load()) << "the worker went on before the box was confirmed";
    ASSERT_EQ(m.Messages().size(), 1u);  // recorded while shown
    answered.Open();
    worker.join();
    EXPECT_TRUE(workerWentOn.load());
    EXPECT_EQ(presentedOn, workerId);
    EXPECT_EQ(seenCaption, "X|Get ChipNumber fail");

    m.SetMessagePresenter({});
    m.ShowMessage("again", Icon::None);  // no presenter: returns at once
    EXPECT_EQ(m.Messages().size(), 2u);
}

TEST(ModelDesign, FocusIsAnEventAndRowsCreatedLaterMatchRowZero) {
    WindowModel m;
    std::vector<Change> focus;
    m.Subscribe([&](const Change& c) {
        if (c.kind == ChangeKind::Focus) focus.push_back(c);
    });
    m.RequestFocus("GoCmd");
    m.RequestFocus("ClearCmd");
    ASSERT_EQ(focus.size(), 2u);
    EXPECT_EQ(focus[0].name, "GoCmd");
    EXPECT_EQ(m.LastFocus(), "ClearCmd");

    m.CreateRow(7);
    ASSERT_EQ(m.RowCount(), 8);
    for (int row : {0, 3, 7}) {
        for (const auto& col : ResultColumns()) {
            // An empty label draws nothing.
            EXPECT_EQ(m.Get(col.mark, row).background, Colour::Default) << col.mark << row;
            EXPECT_EQ(m.Get(col.text, row).background, Colour::Default) << col.text << row;
            EXPECT_FALSE(m.Get(col.mark, row).visible);
            EXPECT_TRUE(m.Exists("ColumnHead", col.heading));
        }
        EXPECT_EQ(m.Get("ItemLab", row).caption, "Disk " + std::to_string(row));
        const PictureInfo* p = FindPicture(m.Get("ThumbImage", row).picture);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->key, "absent");
    }
    // Exactly one DISK TYPE option is selected.
    EXPECT_NE(m.Get1("Option1").checked, m.Get1("Option2").checked);
}
