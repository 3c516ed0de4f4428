// galmor: the USB flash-disk production station.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "run/discovery.h"
#include "ui/headless.h"
#include "ui/settings_loader.h"
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
    "  4  any other error (command library missing, bad arguments, no window)\n";

// A display the window can open on.
bool DisplayAvailable() {
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(var);
        if (v && *v) return true;
    }
    return false;
}

int Run(int argc, char** argv) {
    CLI::App app{
        "galmor: USB flash-disk production station.\n"
        "Reads Product.ini and its image files, finds the disks, and (with --action) runs the\n"
        "production steps on them. Without --action the window's state after start-up is\n"
        "printed."};
    app.footer(kExitCodes);

    bool headless = false;
    HeadlessOptions opts;
    std::string items;
    std::string action;
    bool compare = false, noCompare = false;

    app.add_flag("--headless", headless, "Run without a window and print its state");
    app.add_option("--home", opts.home,
                   "Folder of Product.ini (default: the folder of this program)");
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
    app.add_option("--report", opts.report, "Write a JSON report of the action to this file");
    std::string screenshot;
    bool afterRun = false;
    auto* shotOpt = app.add_option("--screenshot", screenshot,
                                   "Render the window after start-up to this PNG file (no display "
                                   "needed) and exit");
    app.add_flag("--after-run", afterRun,
                 "With --screenshot: press Start first and render after the run")
        ->needs(shotOpt);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitPassed : kExitOtherError;
    }

    const bool window = !headless;
#ifdef UFD_HAVE_QT
    if (!screenshot.empty() && headless) {
        std::cerr << "galmor: --screenshot renders the window; it cannot be combined with "
                     "--headless\n";
        return kExitOtherError;
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
        return kExitOtherError;
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
                return kExitOtherError;
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

    auto st = std::make_unique<Station>();
    std::string error;
    if (!st->lib.Load(&error)) {
        std::cerr << "galmor: " << error << "\n";
        return kExitOtherError;
    }
    st->HomeDir = opts.home.empty() ? ExecutableFolder() : opts.home;
    if (opts.home.empty()) opts.home = st->HomeDir;

#ifdef UFD_HAVE_QT
    if (window) {
        // Rendering needs no display.
        if (!screenshot.empty()) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QApplication qapp(argc, argv);
        QApplication::setApplicationName("galmor");
        int rc = screenshot.empty() ? qtui::RunWindow(*st)
                                    : qtui::RenderScreenshot(*st, screenshot, afterRun);
        if (rc == kExitRecipeRejected) {
            std::cerr << "galmor: recipe rejected (" << st->HomeDir << "/Product.ini)\n";
        }
        // The window has stopped every worker; the station goes before Qt.
        st.reset();
        return rc;
    }
#endif

    if (!ShowProductSettings(*st)) {
        std::cerr << "galmor: recipe rejected (" << st->HomeDir << "/Product.ini)\n";
        for (const auto& msg : st->model.Messages()) {
            std::cerr << "[" << IconWord(msg.icon) << "] " << msg.text << "\n";
        }
        return kExitRecipeRejected;
    }

    PollingDiskStatus(*st, true);

    if (opts.action != HeadlessAction::None) return RunHeadlessAction(*st, opts, std::cout);

    PrintModel(*st, std::cout);
    std::cout.flush();
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
