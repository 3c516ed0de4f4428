// The operator window on a simulated bus, driven by clicks as an operator
// drives it: start-up, a production run, the test-item rule, the low-level
// format with Cancel, a worker's message box, pauses and shutdown.
#include "ui/qt/window.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <string>

#include "core/autorun_policy.h"
#include "core/monitor_link.h"
#include "run/production_log.h"
#include "run/rolling.h"
#include "run/run.h"
#include "testbus.h"
#include "ui/grid.h"
#include "ui/station.h"

using namespace galmor;

namespace {

constexpr uint8_t kSmallChip = 0x73;  // 16 MB, 1,024 blocks

simbus::PlugOptions Small(std::vector<simbus::Fault> faults = {},
                          simbus::Timing timing = simbus::Timing::None) {
    simbus::PlugOptions o;
    o.device.chips = {kSmallChip};
    o.faults = std::move(faults);
    o.timing = timing;
    return o;
}

void WriteRecipe(const std::string& home) {
    const std::string files = home + "/files/";
    testbus::WriteFile(files + "7301.img", std::string(128 * 512, 'L'));
    testbus::WriteFile(files + "Reserve.img", std::string(1000, 'R'));
    testbus::WriteFile(home + "/Product.ini",
                       "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
                       "[USB MANUFACTURE STRING]\r\nKorva\r\n"
                       "[USB PRODUCT STRING]\r\nFlash Disk\r\n"
                       "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n"
                       "[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
                       "[PARTITION STATUS]\r\nParNum=1\r\n1st=1\r\n"
                       "[DISK LABEL]\r\nPRODUCT\r\n"
                       "[DISK CAPACITY]\r\nSize=16\r\n"
                       "[7301 Compare Disk Flag]\r\nTrue\r\n"
                       "[Serial Number]\r\nAB123456\r\n"
                       "[7301 Files Directory]\r\n" +
                           files + "\r\n");
}

// A bus, a station and its window, started as the program starts them. With
// a monitor folder the window keeps a monitor link and starts the dorvel
// found there.
struct Bench {
    testbus::TestBus tb;
    NoAutorunStore autorun;
    MonitorLink link{autorun};
    std::unique_ptr<Station> st = std::make_unique<Station>();
    std::unique_ptr<qtui::OperatorWindow> w;
    std::atomic<uint64_t> ticks{0};

    explicit Bench(const std::vector<simbus::PlugOptions>& disks,
                   const char* monitorFolder = nullptr) {
        const std::string home = tb.root() + "/home";
        WriteRecipe(home);
        for (const auto& d : disks) tb.Plug(d);
        std::string error;
        if (!st->lib.Load(&error)) qFatal("%s", error.c_str());
        st->HomeDir = home;
        // The pauses between a run's items pass quickly: 50 ms per reading.
        st->TimeOfDay = [this] { return 1000.0 + 0.05 * static_cast<double>(ticks++); };
        qtui::WindowOptions opts;
        if (monitorFolder) {
            opts.link = &link;
            opts.monitor_folder = monitorFolder;
        }
        w = std::make_unique<qtui::OperatorWindow>(*st, opts);
    }
    ~Bench() {
        w.reset();
        st.reset();
    }
    bool StartUp() {
        const bool ok = w->StartUp();
        w->show();
        return ok;
    }
    template <typename T = QWidget>
    T* W(const char* name, int index = -1) {
        return qobject_cast<T*>(w->Widget(name, index));
    }
    QString Text(const char* name, int index = -1) { return W<QLabel>(name, index)->text(); }
    QString Picture(int row) { return W<QLabel>("ThumbImage", row)->accessibleName(); }
    void Run() {  // Start, then the verdict
        Click("GoCmd");
        w->FlushNow();
        QTRY_VERIFY_WITH_TIMEOUT(W("PassLab")->isVisible(), 60000);
        WaitForWorkers(*st);
        w->FlushNow();
    }
    void Notice(int16_t event, int disks) {  // as the hook takes it
        st->DeviceEvent = event;
        QTRY_COMPARE_WITH_TIMEOUT(st->DiskCount.load(), disks, 10000);
        w->FlushNow();
    }
    bool Blank(int row) {  // no mark, text or step shown
        const auto shown = [&](const char* n) { return W(n, row)->isVisible(); };
        return !shown("FG") && !shown("FR") && !shown("LLG") && !shown("StepLab");
    }
    // One click of the operator's: far enough from the last one not to make
    // a double click of the two.
    // A check box is clicked on its box, which only it and its caption take.
    void Click(const char* name, int index = -1) {
        QWidget* target = w->Widget(name, index);
        QPoint at;
        if (qobject_cast<QCheckBox*>(target)) at = QPoint(8, target->height() / 2);
        QTest::mouseClick(target, Qt::LeftButton, {}, at, QApplication::doubleClickInterval() + 10);
    }
};

// The message box open on the window, if any.
QMessageBox* OpenBox() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// A modal box runs its own event loop, so the test answers it from a timer
// that keeps looking for one: `answer` is called with each look at an open
// box until it returns true (answered).
class BoxAnswerer {
  public:
    explicit BoxAnswerer(std::function<bool(QMessageBox*)> answer) : answer_(std::move(answer)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (QMessageBox* box = OpenBox()) {
                seen_ = true;
                if (answer_(box)) timer_.stop();
            }
        });
        timer_.start();
    }
    bool seen() const { return seen_; }
    bool done() const { return seen_ && !timer_.isActive(); }

  private:
    std::function<bool(QMessageBox*)> answer_;
    QTimer timer_;
    bool seen_ = false;
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void startUpShowsPresentDisksAndEnablesStart() {
        Bench b({Small(), Small(), Small()});
        QVERIFY(b.StartUp());

        QCOMPARE(b.w->windowTitle(), QString("UFD Manufacture Program"));
        QCOMPARE(b.Text("Label2"), QString("1.10"));
        QCOMPARE(b.Text("TextDiskLab"), QString("Disk Lab"));
        QCOMPARE(b.Text("DiskLabContent"), QString("7306"));
        QCOMPARE(b.Text("VidPidLab"), QString("VID = 1234  PID = 5678"));
        QCOMPARE(b.Text("ColumnHead", 3), QString("Check WP"));
        QVERIFY(b.W("PassLab")->isHidden());
        QVERIFY(b.W("WaitLab")->isHidden());

        // Eight rows: three present disks, five empty ports.
        for (int row = 0; row < 8; ++row) {
            QVERIFY2(b.W("ItemLab", row), qPrintable(QString::number(row)));
            QCOMPARE(b.Text("ItemLab", row), QString("Disk %1").arg(row));
            QCOMPARE(b.Picture(row),
                     QString("Disk %1: %2").arg(row).arg(row < 3 ? "Disk present" : "No disk"));
            QVERIFY(b.W("FG", row)->isHidden());
            QVERIFY(b.W("ProgressBar", row)->isHidden());
        }
        QVERIFY(!b.W<QLabel>("ThumbImage", 0)->pixmap().isNull());

        auto* start = b.W<QPushButton>("GoCmd");
        QVERIFY(start->isEnabled());
        QCOMPARE(start->text(), QString("Start (&S)"));
        QVERIFY(!b.W("ClearCmd")->isEnabled());
        QVERIFY(!b.W("LedCmd")->isEnabled());
        QVERIFY(b.W("ScanCmd")->isHidden());
        QVERIFY(b.W("Command1")->isHidden());
        QVERIFY(!b.W("Frame2")->isEnabled());
        QVERIFY(!b.W("Combo1")->isEnabled());
        QVERIFY(b.W<QCheckBox>("CheckCompare")->isChecked());
        QVERIFY(b.W<QCheckBox>("Check1", 0)->isChecked());
        QVERIFY(!b.W<QCheckBox>("Check1", 4)->isChecked());

        // The whole window fits a 1366 x 768 screen.
        const QSize need = b.w->minimumSizeHint();
        QVERIFY2(need.width() <= 1366 && need.height() <= 740,
                 qPrintable(QString("%1x%2").arg(need.width()).arg(need.height())));
    }

    void startRunsProductionAndTheGridShowsItsResults() {
        Bench b({Small(), Small({{0x93, 1, false}}), Small()});
        QVERIFY(b.StartUp());
        b.W<QCheckBox>("Check1", 3)->setChecked(false);  // Format and Manufacture only
        b.st->model.SetChecked("Check1", 3, false);

        b.Click("GoCmd");
        b.w->FlushNow();
        QVERIFY(!b.W("GoCmd")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(b.W("PassLab")->isVisible(), 60000);
        WaitForWorkers(*b.st);
        b.w->FlushNow();

        QCOMPARE(b.Text("PassLab"), QString("! FAILED !"));
        for (int row : {0, 2}) {
            QCOMPARE(b.Text("FG", row), QString("V"));
            QCOMPARE(b.Text("FR", row), QString("1 Chip(s)   16 MB"));
            QCOMPARE(b.Text("LLG", row), QString("String = V"));
            QVERIFY(b.W("LLR", row)->isVisible());
            QCOMPARE(b.Picture(row), QString("Disk %1: Disk passed").arg(row));
        }
        QCOMPARE(b.Text("FG", 1), QString("X"));
        QCOMPARE(b.Text("FR", 1), QString("Error Status = 93"));
        QVERIFY(b.W("LLG", 1)->isHidden());
        QCOMPARE(b.Picture(1), QString("Disk 1: Disk failed"));
        // Colour follows the outcome: a pass text is neutral, a failure's red.
        QVERIFY(b.W("FG", 0)->styleSheet().contains("#a8e6a8"));
        QVERIFY(b.W("FR", 0)->styleSheet().isEmpty() && b.W("LLR", 0)->styleSheet().isEmpty());
        QVERIFY(b.W("FG", 1)->styleSheet().contains("#f6b3b3") && b.Text("FR", 1) != "");
        QCOMPARE(b.W("FR", 1)->styleSheet(), b.W("FG", 1)->styleSheet());
        QVERIFY(b.W("ClearCmd")->isEnabled());
        QVERIFY(b.W("LedCmd")->isEnabled());

        // Clear: report gone, rows empty, Start back with the focus.
        b.Click("ClearCmd");
        b.w->FlushNow();
        QVERIFY(b.W("PassLab")->isHidden());
        QVERIFY(b.W("FG", 0)->isHidden());
        QVERIFY(b.W("GoCmd")->isEnabled());
        QTRY_COMPARE(b.w->focusWidget(), b.W("GoCmd"));
    }

    // A row's results stay only while its disk does: after a run, a disk
    // that leaves takes them along, a disk plugged into the freed row starts
    // blank, and Clear leaves no fail picture on an empty row. The status
    // line shows the day's counts from the production log.
    void rowsNeverShowAnotherDisksResults() {
        Bench b({Small(), Small({{0x93, 1, false}}), Small()});
        LogSetup log;
        log.url = "sqlite:" + b.tb.root() + "/log.db";
        std::string error;
        b.w->AfterRecipe = [&] { return OpenProductionLog(*b.st, log, &error); };
        QVERIFY(b.StartUp());
        QVERIFY(b.W("ItemLab", 1)->toolTip().startsWith("USB 1-2  "));
        b.Run();
        QTRY_COMPARE(b.Text("StatusLine"), QString("Today: 2 passed, 1 failed, yield 66.7 %"));

        QVERIFY(b.tb.bus().unplug(b.tb.bus().list().at(0)));  // rows 0, 1: other disks now
        b.Notice(kDeviceEventRemoval, 2);
        for (int row = 0; row < 3; ++row) QVERIFY2(b.Blank(row), qPrintable(QString::number(row)));
        QCOMPARE(b.Picture(2), QString("Disk 2: No disk"));

        const std::string fresh = b.tb.Plug(Small({{0x93, 1, false}}));  // into the freed row
        b.Notice(kDeviceEventArrival, 3);
        QVERIFY(b.Blank(2));
        b.Run();
        QCOMPARE(b.Picture(2), QString("Disk 2: Disk failed"));
        QVERIFY(b.tb.bus().unplug(fresh));
        b.Click("ClearCmd");
        b.w->FlushNow();
        QCOMPARE(b.Picture(2), QString("Disk 2: No disk"));
        QVERIFY(b.Blank(2));
    }

    // Rolling: the box arms with Start and Clear disarms it; each row runs
    // its own disk, a fresh disk starts alone, a failed one runs again from
    // its row's menu, and the lot counts up to its banner.
    void rollingRowsRunOnTheirOwnAndTheLotCounts() {
        Bench b({Small(), Small({{0x93, 1, false}})});
        QVERIFY(b.StartUp());
        QVERIFY(b.W("LotText")->isHidden() && b.W("LotCount")->isHidden());
        QVERIFY(b.W("CheckRollingLow")->isHidden());
        b.Click("CheckRolling");
        b.w->FlushNow();
        b.Click("CheckRollingLow");  // each disk is low-level formatted first
        QTest::keyClicks(b.W("LotText"), "3");
        b.Click("GoCmd");
        b.w->FlushNow();
        QVERIFY(RollingArmed(*b.st));
        QVERIFY(!b.W("GoCmd")->isEnabled() && !b.W("CheckRolling")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(b.Text("LotCount"), QString("1 of 3 passed, 1 failed"), 60000);
        QTest::qWait(200);  // ticks that look at the bus again keep the verdicts
        b.w->FlushNow();
        QCOMPARE(b.Picture(0), QString("Disk 0: Disk passed"));
        QCOMPARE(b.Picture(1), QString("Disk 1: Disk failed"));
        QVERIFY(b.W("PassLab")->isHidden());

        auto rework = [&](int row) { return b.w->RowMenu(row)->actions().at(0); };
        QVERIFY(!rework(3)->isEnabled());  // no disk there
        rework(1)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(b.Text("LotCount"), QString("2 of 3 passed, 1 failed"), 60000);
        QCOMPARE(b.Picture(1), QString("Disk 1: Disk passed"));
        b.tb.Plug(Small());
        b.st->DeviceEvent = kDeviceEventArrival;
        QTRY_COMPARE_WITH_TIMEOUT(b.Text("LotCount"), QString("3 of 3 passed, 1 failed"), 60000);
        QCOMPARE(b.Picture(2), QString("Disk 2: Disk passed"));
        const auto ops = b.tb.Opcodes("d003");
        QVERIFY(std::count(ops.begin(), ops.end(), 0x98) > 0);
        QCOMPARE(b.Picture(0), QString("Disk 0: Disk passed"));
        QTRY_COMPARE(b.Text("PassLab"), QString("! FAILED !"));

        b.Click("ClearCmd");
        b.w->FlushNow();
        QVERIFY(!RollingArmed(*b.st));
        QVERIFY(b.W("GoCmd")->isEnabled() && b.W("CheckRolling")->isEnabled());
    }

    void keyboardAcceleratorStartsTheRun() {
        Bench b({Small()});
        QVERIFY(b.StartUp());
        b.w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(b.w.get()));
        QTest::keyClick(b.w.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(b.W("PassLab")->isVisible(), 60000);
        b.w->FlushNow();
        QCOMPARE(b.Text("PassLab"), QString("! ALL PASS !"));
    }

    void checkWpIsAlwaysRunAlone() {
        Bench b({Small()});
        QVERIFY(b.StartUp());
        auto box = [&](int i) { return b.W<QCheckBox>("Check1", i); };
        b.Click("Check1", 4);
        b.w->FlushNow();
        QVERIFY(box(4)->isChecked());
        for (int i : {0, 1, 3}) QVERIFY2(!box(i)->isChecked(), qPrintable(QString::number(i)));
        b.Click("Check1", 0);
        b.w->FlushNow();
        QVERIFY(box(0)->isChecked());
        QVERIFY(!box(4)->isChecked());
        // Unchecking changes nothing else.
        b.Click("Check1", 1);
        b.Click("Check1", 1);
        b.w->FlushNow();
        QVERIFY(box(0)->isChecked());
        QVERIFY(!box(1)->isChecked());
        QVERIFY(b.st->model.Get("Check1", 0).checked);
        QVERIFY(!b.st->model.Get("Check1", 1).checked);
    }

    void lowLevelFormatThenCancel() {
        const auto slow = simbus::Timing::Usb2;
        Bench b({Small({}, slow), Small({}, slow), Small({}, slow)});
        QVERIFY(b.StartUp());

        b.Click("cmdLowFor");
        b.w->FlushNow();
        QVERIFY(!b.W("GoCmd")->isEnabled());
        QVERIFY(!b.W("cmdLowFor")->isEnabled());
        QVERIFY(b.W("cmdLowForCan")->isEnabled());
        // The bars move while the workers format.
        QTRY_VERIFY_WITH_TIMEOUT(b.W<QProgressBar>("ProgressBar", 2)->isVisible() &&
                                     b.W<QProgressBar>("ProgressBar", 2)->value() > 0,
                                 20000);
        QVERIFY(LowFormatRunning(*b.st));

        b.Click("cmdLowForCan");
        b.w->FlushNow();
        QVERIFY(b.W("GoCmd")->isEnabled());
        QVERIFY(b.W("cmdLowFor")->isEnabled());
        QVERIFY(!b.W("cmdLowForCan")->isEnabled());
        for (int row = 0; row < 3; ++row) QVERIFY(b.W("ProgressBar", row)->isHidden());

        WaitForWorkers(*b.st);
        b.w->FlushNow();
        QVERIFY(b.W("Label6")->isHidden());  // "Low Level Format Complete" not shown
        QVERIFY(b.W("GoCmd")->isEnabled());
        QVERIFY(!b.W("cmdLowForCan")->isEnabled());
    }

    void workersMessageBoxIsAnsweredAndTheWorkerGoesOn() {
        // Disk 1's chip list cannot be read; disk 2 is formatted.
        Bench b({Small({{0x93, 1, false}}), Small()});
        QVERIFY(b.StartUp());

        QString text;
        bool modal = false, signalledWhileOpen = false;
        int open = 0;
        QElapsedTimer since;
        BoxAnswerer answer([&](QMessageBox* box) {
            if (!since.isValid()) {
                since.start();
                text = box->text();
                modal = box->isModal();
                open = b.w->OpenMessageBoxes();
            }
            // Disk 1's worker waits for the operator: no signal while open.
            signalledWhileOpen = signalledWhileOpen || b.st->workers.events[0].Poll();
            if (since.elapsed() < 150) return false;
            box->button(QMessageBox::Ok)->click();
            return true;
        });

        b.Click("cmdLowFor");
        QTRY_VERIFY_WITH_TIMEOUT(answer.done(), 20000);
        QCOMPARE(text, QString("Get ChipNumber fail"));
        QVERIFY(modal);
        QCOMPARE(open, 1);
        QVERIFY(!signalledWhileOpen);
        QTRY_VERIFY_WITH_TIMEOUT(b.st->workers.events[0].Poll(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(b.W("Label6")->isVisible(), 60000);
        QCOMPARE(b.Text("Label6"), QString("Low Level Format Complete"));
        QVERIFY(b.W("GoCmd")->isEnabled());
        QCOMPARE(b.w->OpenMessageBoxes(), 0);
    }

    void pauseOnTheWindowThreadKeepsTheWindowResponsive() {
        Bench b({Small()});
        QVERIFY(b.StartUp());
        Station& st = *b.st;
        st.TimeOfDay = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
        int ticks = 0;
        QTimer t;
        t.setInterval(10);
        QObject::connect(&t, &QTimer::timeout, [&] { ++ticks; });
        t.start();
        WaitSeconds(st, 0.3f);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    }

    void closingTheWindowStopsEveryWorker() {
        const auto slow = simbus::Timing::Usb2;
        Bench b({Small({}, slow), Small({}, slow)});
        QVERIFY(b.StartUp());
        b.Click("cmdLowFor");
        QTRY_VERIFY_WITH_TIMEOUT(b.st->workers.lowFormat.BusyCount() == 2, 10000);

        b.w->close();
        QCOMPARE(b.st->workers.lowFormat.BusyCount(), 0);
        QCOMPARE(b.st->workers.run.BusyCount(), 0);
        QCOMPARE(b.st->ports[0].Handle, 0);
    }

    void closingReleasesAWorkerWaitingForItsBox() {
        Bench b({Small({{0x93, 1, false}}), Small()});
        QVERIFY(b.StartUp());
        int busyAfter = -1;
        BoxAnswerer answer([&](QMessageBox* box) {
            // The station goes down with the box still open: nothing may hang.
            b.w->Shutdown();
            busyAfter = b.st->workers.lowFormat.BusyCount();
            box->reject();
            return true;
        });
        b.Click("cmdLowFor");
        QTRY_VERIFY_WITH_TIMEOUT(answer.done(), 20000);
        QCOMPARE(busyAfter, 0);
    }

    void plugAndUnplugReachTheGridWithoutAClick() {
        Bench b({}, UFD_BIN_DIR);
        QVERIFY(b.StartUp());
        QVERIFY(b.link.monitor().Running());
        QCOMPARE(b.Picture(0), QString("Disk 0: No disk"));
        QVERIFY(!b.W("GoCmd")->isEnabled());

        // The operator plugs a disk: dorvel's notice and the polling timer
        // bring it to the grid.
        const std::string id = b.tb.Plug(Small());
        QTRY_COMPARE_WITH_TIMEOUT(b.Picture(0), QString("Disk 0: Disk present"), 10000);
        QTRY_VERIFY(b.W("GoCmd")->isEnabled());
        QCOMPARE(b.st->DeviceEvent, kDeviceEventHandled);

        QVERIFY(b.tb.bus().unplug(id));
        QTRY_COMPARE_WITH_TIMEOUT(b.Picture(0), QString("Disk 0: No disk"), 10000);
        QTRY_VERIFY(!b.W("GoCmd")->isEnabled());
        QCOMPARE(b.st->DiskCount.load(), 0);

        // A monitor that dies is started again, and its notices come.
        const pid_t first = b.link.monitor().pid();
        QCOMPARE(::kill(first, SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(b.link.monitor().pid() > 0 && b.link.monitor().pid() != first,
                                 10000);
        b.tb.Plug(Small());
        QTRY_COMPARE_WITH_TIMEOUT(b.Picture(0), QString("Disk 0: Disk present"), 10000);
    }

    void noticeDuringARunIsHandledAfterTheRun() {
        const auto slow = simbus::Timing::Usb2;
        Bench b({Small({}, slow)}, UFD_BIN_DIR);
        QVERIFY(b.StartUp());
        b.Click("GoCmd");
        QVERIFY(b.st->RunInProgress);
        QTRY_VERIFY(!b.Text("StepLab", 0).isEmpty());  // a busy disk says so

        b.tb.Plug(Small());
        // The notice is taken while the run goes on, and waits for it.
        QTRY_VERIFY_WITH_TIMEOUT(b.st->DeviceEvent == kDeviceEventArrival || !b.st->RunInProgress,
                                 10000);
        QVERIFY2(b.st->RunInProgress, "the run ended before the notice came");
        QTest::qWait(120);  // more than two ticks of the polling timer
        QVERIFY(b.st->RunInProgress);
        QCOMPARE(b.st->DiskCount.load(), 1);
        QCOMPARE(b.st->DeviceEvent, kDeviceEventArrival);

        QTRY_VERIFY_WITH_TIMEOUT(!b.st->RunInProgress, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(b.st->DiskCount.load(), 2, 5000);
        QCOMPARE(b.st->DeviceEvent, kDeviceEventHandled);
        b.w->FlushNow();
        QCOMPARE(b.Picture(1), QString("Disk 1: Disk present"));
    }

    void closingTheWindowEndsTheMonitor() {
        Bench b({Small()}, UFD_BIN_DIR);
        QVERIFY(b.StartUp());
        const pid_t pid = b.link.monitor().pid();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, 0), 0);

        b.w->close();
        // Ended and reaped: no such process is left.
        QVERIFY(!b.link.monitor().Running());
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
        QCOMPARE(b.link.notice_fd(), -1);
    }

    void aMonitorThatCannotStartIsReportedAndTheStationGoesOn() {
        Bench b({Small()}, "/nonexistent-folder");
        QString text;
        BoxAnswerer answer([&](QMessageBox* box) {
            text = box->text();
            box->button(QMessageBox::Ok)->click();
            return true;
        });
        QVERIFY(b.StartUp());
        QVERIFY(answer.done());
        QCOMPARE(text, QString("Load Dorvel.exe Fail !!!"));
        QVERIFY(!b.link.monitor().Running());
        // The first discovery still ran.
        QCOMPARE(b.Picture(0), QString("Disk 0: Disk present"));
        QVERIFY(b.W("GoCmd")->isEnabled());
    }

    void aRefusedRecipeIsShownInABoxAndEndsTheProgram() {
        testbus::TestBus tb;
        Station st;
        std::string error;
        QVERIFY(st.lib.Load(&error));
        st.HomeDir = tb.root() + "/refused";
        testbus::WriteFile(st.HomeDir + "/Product.ini", "[VID/PID]\r\n");
        QString last;
        BoxAnswerer answer([&](QMessageBox* box) {
            last = box->text();
            box->button(QMessageBox::Ok)->click();
            return false;  // every box of the start-up
        });
        QCOMPARE(qtui::RunWindow(st), 2);
        QVERIFY2(last.contains(QString::fromStdString(st.HomeDir + "/Product.ini")) &&
                     last.contains("not accepted"),
                 qPrintable(last));
    }

    void galmorRendersTheWindowAfterARun() {
        testbus::TestBus tb;
        const std::string home = tb.root() + "/home";
        WriteRecipe(home);
        const QString png = QString::fromStdString(tb.root() + "/shot.png");
        auto galmor = [&](const QStringList& args) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove("DISPLAY");  // rendering needs no display
            env.remove("QT_QPA_PLATFORM");
            p.setProcessEnvironment(env);
            p.start(QStringLiteral(UFD_BIN_DIR "/galmor"), args);
            if (!p.waitForFinished(120000)) return -1;
            return p.exitCode();
        };
        const QStringList base{"--home", QString::fromStdString(home), "--screenshot", png};

        // No disk: nothing to run, no picture.
        QCOMPARE(galmor(base + QStringList{"--after-run"}), 3);
        QVERIFY(!QFile::exists(png));

        tb.Plug(Small());
        tb.Plug(Small({{0x93, 1, false}}));
        QCOMPARE(galmor(base + QStringList{"--after-run"}), 0);
        QImage shot(png);
        QVERIFY(!shot.isNull());
        QVERIFY(shot.width() >= 800 && shot.width() <= 1366);
        QVERIFY(shot.height() >= 500 && shot.height() <= 768);
        // The banner's red is in the picture: the run ended and failed.
        bool red = false;
        for (int y = 0; y < shot.height() && !red; y += 2) {
            for (int x = 0; x < shot.width() && !red; x += 2) {
                const QColor c = shot.pixelColor(x, y);
                red = c.red() > 170 && c.green() < 40 && c.blue() < 40;
            }
        }
        QVERIFY(red);
        QCOMPARE(galmor(base + QStringList{"--headless"}), 64);  // a usage error
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
