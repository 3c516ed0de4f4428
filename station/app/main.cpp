// galmor: the USB flash-disk production station.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitPassed : kExitOtherError;
    }

    if (!headless) {
        std::cerr << "galmor: the operator window is not available in this build; use "
                     "--headless\n";
        return kExitOtherError;
    }

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

    // The report must be writable before any disk is touched: a run whose
    // record cannot be kept is not started. The file is opened without being
    // truncated; one created here is removed again and written at the end.
    if (!opts.report.empty()) {
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

    auto st = std::make_unique<Station>();
    std::string error;
    if (!st->lib.Load(&error)) {
        std::cerr << "galmor: " << error << "\n";
        return kExitOtherError;
    }
    st->HomeDir = opts.home.empty() ? ExecutableFolder() : opts.home;
    if (opts.home.empty()) opts.home = st->HomeDir;

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
