// galmor: the USB flash-disk production station.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "app/home.h"
#include "core/autorun_policy.h"
#include "core/monitor_link.h"
#include "prodlog/printer.h"
#include "run/discovery.h"
#include "run/production_log.h"
#include "run/run.h"
#include "ui/headless.h"
#include "ui/headless_watch.h"
#include "ui/settings_loader.h"
#include "ui/startup.h"
#include "ui/station.h"

#ifdef UFD_HAVE_QT
#include <QApplication>
#include <cstdlib>

#include "ui/qt/window.h"
#endif

namespace {

using namespace galmor;

// The folder of the running executable.
std::string ExecutableFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  passed (or, without --action, start-up done)\n"
    "  1  the action ran and at least one disk failed\n"
    "  2  the recipe (Product.ini or its image files) was rejected\n"
    "  3  an action was asked for but no disk was found\n"
    "  4  any other error (command library missing, no window, the production log cannot be\n"
    "     opened)\n"
    "  64 usage error: an unknown option, a bad option value or options that do not go\n"
    "     together (every program of the station uses 64 for this)\n";

const char kLogExitCodes[] =
    "Exit codes:\n"
    "  0  the records (or the summary) were printed\n"
    "  4  the log cannot be opened or read, or --since is not a date\n"
    "  64 usage error: an unknown option or a bad option value\n";

// Where the window's printout goes: standard output, unless the report is
// written there (--report -), which then holds nothing but the report.
std::ostream& TextOut(const HeadlessOptions& opts) {
    return opts.report == "-" ? std::cerr : std::cout;
}

// The station with its command library loaded and its recipe folder found;
// null (with the exit code in *code) when either is missing.
std::unique_ptr<Station> LoadStation(HeadlessOptions& opts, int* code,
                                     std::string* missing = nullptr) {
    auto st = std::make_unique<Station>();
    std::string error;
    if (!st->lib.Load(&error)) {
        std::cerr << "galmor: " << error << "\n";
        *code = kExitOtherError;
        return nullptr;
    }
    const HomeSearch home =
        FindHome(opts.home, ExecutableFolder(), [](const char* name) { return std::getenv(name); });
    if (!home.found) {
        std::cerr << "galmor: " << MissingRecipeMessage(home) << "\n";
        if (missing) *missing = MissingRecipeMessage(home);
        *code = kExitRecipeRejected;
        return nullptr;
    }
    st->HomeDir = home.dir;
    opts.home = st->HomeDir;
    return st;
}

// Start-up of a station without a window: errors go to the error output.
// kExitPassed when the station is up.
int StartHeadless(Station& st, MonitorLink* link, const LogSetup& logSetup) {
    StartUpSteps steps;
    steps.link = link;
    steps.hook_required = link != nullptr;
    steps.monitor_folder = ExecutableFolder();
    steps.warn = [](const std::string& why) { std::cerr << "galmor: " << why << "\n"; };
    steps.after_recipe = [&] {
        std::string error;
        if (OpenProductionLog(st, logSetup, &error)) return true;
        std::cerr << "galmor: production log: " << error << "\n";
        return false;
    };
    switch (StartStation(st, steps)) {
        case StartUpResult::Started:
            return kExitPassed;
        case StartUpResult::RecipeRejected:
            std::cerr << "galmor: recipe rejected (" << st.HomeDir << "/Product.ini)\n";
            for (const auto& msg : st.model.Messages()) {
                std::cerr << "[" << IconWord(msg.icon) << "] " << msg.text << "\n";
            }
            return kExitRecipeRejected;
        case StartUpResult::Stopped:
            break;
    }
    return kExitOtherError;
}

// The watching station: start-up and shutdown in the window's order around
// the monitor link.
int Watch(HeadlessOptions opts, int autoRun, const WatchOptions& rolling,
          const LogSetup& logSetup) {
    // Before any thread starts, so that every thread inherits the mask and
    // the two signals reach only the loop.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    const int stopFd = signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::cerr << "galmor: cannot watch for SIGINT and SIGTERM\n";
        return kExitOtherError;
    }

    int code = kExitPassed;
    auto st = LoadStation(opts, &code);
    if (!st) return code;
    NoAutorunStore autorun;
    MonitorLink link(autorun);
    if ((code = StartHeadless(*st, &link, logSetup)) != kExitPassed) return code;
    std::ostream& text = TextOut(opts);
    if (!ApplyHeadlessChoices(*st, opts, text)) return kExitOtherError;

    WatchOptions w = rolling;
    w.auto_run = autoRun;
    w.stop_fd = stopFd;
    code = RunHeadlessWatch(*st, link, opts, w, text);
    // Shutdown: autorun as found, the monitor ended, the hook removed, then
    // the workers stopped and joined.
    link.Shutdown();
    StopStationWorkers(*st);
    std::cout.flush();
    return code;
}

#ifdef UFD_HAVE_QT
// A display the window can open on.
bool DisplayAvailable() {
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(var);
        if (v && *v) return true;
    }
    return false;
}
#endif

int Run(int argc, char** argv) {
    CLI::App app{
        "galmor: USB flash-disk production station.\n"
        "Reads Product.ini and its image files, finds the disks, and (with --action) runs the\n"
        "production steps on them. Without --action the window's state after start-up is\n"
        "printed."};
    app.footer(kExitCodes);
    app.set_version_flag("--version", std::string("galmor ") + UFD_VERSION);

    bool headless = false;
    HeadlessOptions opts;
    std::string items;
    std::string action;
    bool compare = false, noCompare = false;

    app.add_flag("--headless", headless, "Run without a window and print its state");
    app.add_option("--home", opts.home,
                   "Folder of Product.ini (default: $GALMOR_HOME, else this program's folder "
                   "when it holds Product.ini, else $XDG_CONFIG_HOME/galmor)");
    auto* itemsOpt = app.add_option(
        "--items", items,
        "Test items to run, comma-separated: format, manufacture, check-config, check-wp "
        "(default: as the window is designed; check-wp runs alone)");
    auto* cmpOpt = app.add_flag("--compare-disk", compare, "Check the \"Compare Disk\" box");
    auto* noCmpOpt = app.add_flag("--no-compare-disk", noCompare, "Clear the \"Compare Disk\" box");
    cmpOpt->excludes(noCmpOpt);
    app.add_option("--action", action,
                   "Button to press after start-up: run (Start), low-level-format, scan")
        ->check(CLI::IsMember({"run", "low-level-format", "scan"}));
    app.add_option("--report", opts.report,
                   "Write a JSON report of the action to this file (with --watch: append one "
                   "line per run)");
    bool watch = false;
    int autoRun = 0;
    auto* watchOpt = app.add_flag(
        "--watch", watch,
        "Keep running: start dorvel, take its device notices as the window does, print the "
        "window after each discovery; end on SIGINT or SIGTERM");
    auto* autoRunOpt =
        app.add_option("--auto-run", autoRun,
                       "With --watch: start a production run as soon as N disks are present, none "
                       "of them run before")
            ->check(CLI::Range(1, 16))
            ->needs(watchOpt);
    WatchOptions rolling;
    auto* rollingOpt = app.add_flag(
        "--rolling", rolling.rolling,
        "With --watch: rolling production; each socket runs its own job as soon as a fresh "
        "disk is seated in it and shows its verdict until the disk is pulled");
    rollingOpt->needs(watchOpt)->excludes(autoRunOpt);
    app.add_flag("--rework", rolling.rework,
                 "With --rolling: a finished disk of this recipe seated again is run again")
        ->needs(rollingOpt);
    app.add_flag("--with-low-level-format", rolling.low_level_format,
                 "With --rolling: each disk gets the low-level format before the test items")
        ->needs(rollingOpt);
    app.add_option("--lot", rolling.lot,
                   "With --rolling: stop starting new disks once N have passed; the banner shows "
                   "the lot's verdict")
        ->check(CLI::Range(1, 1000000))
        ->needs(rollingOpt);

    LogSetup logSetup;
    auto* logOpt = app.add_option(
        "--log", logSetup.url,
        "Production log: postgresql://... for a shared log, or an SQLite file (default: "
        "$XDG_STATE_HOME/galmor/production.db)");
    auto* noLogOpt =
        app.add_flag("--no-log", logSetup.disabled,
                     "Keep no production log; serial numbers are drawn without reservation");
    logOpt->excludes(noLogOpt);
    app.add_option("--station", logSetup.station,
                   "Station name in the production log (default: the host name)");

    // galmor log: the production log printed.
    auto* logCmd = app.add_subcommand("log", "Print the production log");
    logCmd->footer(kLogExitCodes);
    prodlog::LogOptions logOpts;
    std::string logUrl, logFormat = "table";
    logCmd->add_option("--log", logUrl, "The log to read (default: this station's own file)");
    logCmd->add_option("--since", logOpts.since,
                       "Records from this date or time on (YYYY-MM-DD[THH:MM[:SS]], local time "
                       "unless --utc or a trailing Z)");
    logCmd->add_option("--until", logOpts.until, "Records before this date or time");
    logCmd->add_option("--station", logOpts.station, "Records of this station only");
    logCmd->add_option("--serial", logOpts.serial, "Records of this serial number only");
    logCmd->add_option("--run", logOpts.run_id, "Records of this run id only");
    logCmd->add_option("--lot", logOpts.lot_id,
                       "Records of this lot only (the id rolling production prints at its start)");
    logCmd->add_flag("--utc", logOpts.utc, "Dates, times and summary days in UTC");
    logCmd->add_flag("--all", logOpts.all,
                     "Superseded records too (a disk run again or rewritten by a scan)");
    logCmd->add_option("--result", logOpts.result, "pass or fail")
        ->check(CLI::IsMember({"pass", "fail"}));
    logCmd->add_option("--format", logFormat, "table, csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    logCmd->add_flag(
        "--summary", logOpts.summary,
        "Per day and station: disks made (each once), yield and a count per error text");
    std::string screenshot;
    bool afterRun = false;
    auto* shotOpt = app.add_option("--screenshot", screenshot,
                                   "Render the window after start-up to this PNG file (no display "
                                   "needed) and exit");
    auto* afterOpt = app.add_flag("--after-run", afterRun,
                                  "With --screenshot: press Start first and render after the run")
                         ->needs(shotOpt);
    bool duringRun = false;
    app.add_flag("--during-run", duringRun,
                 "With --screenshot: press Start and render while the disks are being formatted")
        ->needs(shotOpt)
        ->excludes(afterOpt);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitPassed : kExitUsage;
    }

    if (logCmd->parsed()) {
        prodlog::ParseLogFormat(logFormat, &logOpts.format);
        std::string error;
        auto store = prodlog::OpenStore(logUrl, &error, prodlog::OpenMode::ReadOnly);
        if (!store) {
            std::cerr << "galmor log: " << error << "\n";
            return kExitOtherError;
        }
        return prodlog::PrintLog(*store, logOpts, std::cout, std::cerr);
    }

    if (watch && !action.empty()) {
        std::cerr << "galmor: --watch runs without --action (use --auto-run)\n";
        return kExitUsage;
    }
    const bool window = !headless;
#ifdef UFD_HAVE_QT
    if (!screenshot.empty() && headless) {
        std::cerr << "galmor: --screenshot renders the window; it cannot be combined with "
                     "--headless\n";
        return kExitUsage;
    }
    if (window && screenshot.empty() && !DisplayAvailable()) {
        std::cerr << "galmor: no display to open the operator window on (DISPLAY is not set); "
                     "use --headless\n";
        return kExitOtherError;
    }
    if (window && (!action.empty() || itemsOpt->count() > 0 || compare || noCompare ||
                   !opts.report.empty())) {
        std::cerr << "galmor: --action, --items, --compare-disk and --report are for --headless; "
                     "in the window use its buttons and check boxes\n";
        return kExitUsage;
    }
#else
    if (window) {
        std::cerr << "galmor: the operator window is not available in this build; use "
                     "--headless\n";
        return kExitOtherError;
    }
#endif

    if (itemsOpt->count() > 0) {
        opts.items_given = true;
        std::stringstream ss(items);
        std::string item;
        while (std::getline(ss, item, ',')) {
            if (item.empty()) continue;
            if (item != "format" && item != "manufacture" && item != "check-config" &&
                item != "check-wp") {
                std::cerr << "galmor: unknown test item \"" << item
                          << "\" (format, manufacture, check-config, check-wp)\n";
                return kExitUsage;
            }
            opts.items.push_back(item);
        }
    }
    if (compare) opts.compare_disk = 1;
    if (noCompare) opts.compare_disk = 0;
    if (action == "run") {
        opts.action = HeadlessAction::Run;
    } else if (action == "low-level-format") {
        opts.action = HeadlessAction::LowLevelFormat;
    } else if (action == "scan") {
        opts.action = HeadlessAction::Scan;
    }

    // The report must be writable before any disk is touched: a run whose
    // record cannot be kept is not started. The file is opened without being
    // truncated; one created here is removed again and written at the end.
    if (!opts.report.empty() && opts.report != "-") {
        const int fd = ::open(opts.report.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const bool created = fd >= 0;
        const int wfd =
            created ? fd
                    : ::open(opts.report.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        const int err = errno;
        if (wfd < 0) {
            std::cerr << "galmor: cannot write the report " << opts.report << ": "
                      << std::strerror(err) << "; no disk was touched\n";
            return kExitOtherError;
        }
        struct stat rs {};
        const bool regular = ::fstat(wfd, &rs) == 0 && S_ISREG(rs.st_mode);
        ::close(wfd);
        if (created) ::unlink(opts.report.c_str());
        if (!regular) {
            std::cerr << "galmor: the report " << opts.report
                      << " is not a regular file; no disk was touched\n";
            return kExitOtherError;
        }
    }

    // The station learns which unit it opened only from the library's
    // device-path log: with a folder the library refuses, every open fails,
    // and the reason is told here rather than as "no disk".
    if (const std::string why = LibraryFolderProblem(); !why.empty()) {
        std::cerr << "galmor: the library's folder cannot be used: " << why
                  << "; no disk was touched\n";
        return kExitOtherError;
    }
    if (watch) return Watch(opts, autoRun, rolling, logSetup);

    int code = kExitPassed;
    std::string missing;
    auto st = LoadStation(opts, &code, &missing);
#ifdef UFD_HAVE_QT
    if (!st && window && screenshot.empty() && !missing.empty()) {
        // The operator at the window sees why nothing opens.
        QApplication qapp(argc, argv);
        QApplication::setApplicationName("galmor");
        return qtui::ShowStartUpFailure(missing);
    }
#endif
    if (!st) return code;

#ifdef UFD_HAVE_QT
    if (window) {
        // Rendering needs no display.
        if (!screenshot.empty()) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QApplication qapp(argc, argv);
        QApplication::setApplicationName("galmor");
        bool logFailed = false;
        auto openLog = [&] {
            std::string logError;
            if (OpenProductionLog(*st, logSetup, &logError)) return true;
            std::cerr << "galmor: production log: " << logError << "\n";
            logFailed = true;
            return false;
        };
        // A screenshot records its run in a production log only when one is
        // named (--log): its disks are no product.
        std::function<bool()> shotLog;
        if (!logSetup.url.empty()) shotLog = openLog;
        // The window keeps the monitor link: it starts dorvel at start-up and
        // ends it when it closes.
        NoAutorunStore autorun;
        MonitorLink link(autorun);
        int rc = screenshot.empty() ? qtui::RunWindow(*st, openLog, &link, ExecutableFolder())
                                    : qtui::RenderScreenshot(*st, screenshot,
                                                             afterRun    ? qtui::Moment::AfterRun
                                                             : duringRun ? qtui::Moment::DuringRun
                                                                         : qtui::Moment::StartUp,
                                                             shotLog);
        if (logFailed) rc = kExitOtherError;
        if (rc == kExitRecipeRejected && !logFailed) {
            std::cerr << "galmor: recipe rejected (" << st->HomeDir << "/Product.ini)\n";
        }
        // The window has stopped every worker; the station goes before Qt.
        st.reset();
        return rc;
    }
#endif

    if ((code = StartHeadless(*st, nullptr, logSetup)) != kExitPassed) return code;

    std::ostream& text = TextOut(opts);
    if (opts.action != HeadlessAction::None) return RunHeadlessAction(*st, opts, text);

    PrintModel(*st, text);
    text.flush();
    return kExitPassed;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "galmor: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "galmor: unexpected error\n";
    }
    return kExitOtherError;
}
