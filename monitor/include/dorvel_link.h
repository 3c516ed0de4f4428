// The link between the station and its device-change monitor `dorvel`: where
// the notice socket and the single-instance lock live, and the notice itself.
// Shared by both programs, so that the two always agree on the names.
//
// Both files live in the private per-user folder of the command library (see
// sarnik_files.h): $SARNIK_ROOT, $XDG_RUNTIME_DIR/sarnik or
// <home>/.local/state/sarnik, mode 0700.
//   <folder>/UFD_Manufacture_Program.notice  the station's datagram socket
//   <folder>/MP.lock                         flock'ed by the running monitor
// A notice is one datagram of exactly two bytes, "IN" (a USB disk is present
// that was not at the previous recount) or "OU" (one has gone). The socket is
// the station user's alone (mode 0600; other users' datagrams are dropped).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "sarnik_files.h"

namespace dorvel_link {

// The station window's title; the notice socket is named after it.
inline constexpr char kStationTitle[] = "UFD Manufacture Program";
// The monitor's single-instance name.
inline constexpr char kInstanceName[] = "MP";

inline constexpr std::string_view kArrival = "IN";
inline constexpr std::string_view kRemoval = "OU";

// A file name from a title: letters and digits kept, everything else "_".
inline std::string FileNameFromTitle(std::string_view title) {
    std::string out;
    for (char c : title) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out += keep ? c : '_';
    }
    return out;
}

inline std::string NoticeSocketPath(const std::string& folder) {
    return folder + "/" + FileNameFromTitle(kStationTitle) + ".notice";
}

inline std::string InstanceLockPath(const std::string& folder) {
    return folder + "/" + kInstanceName + ".lock";
}

// The folder, created when missing; "" when it cannot be used. A default
// folder must be a real directory of this user with mode 0700 (it is made so);
// $SARNIK_ROOT is the user's own choice and only has to be a directory.
inline std::string PrepareFolder() {
    const std::string root = sarnik_files::root_folder();
    if (root.empty()) return {};
    const auto make = [](const std::string& dir) {
        return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
    };
    struct stat st {};
    if (sarnik_files::root_is_explicit()) {
        make(root);
        if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
        return root;
    }
    const std::string suffix = "/.local/state/sarnik";
    if (root.size() > suffix.size() &&
        root.compare(root.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const std::string home = root.substr(0, root.size() - suffix.size());
        make(home + "/.local");
        make(home + "/.local/state");
    }
    make(root);
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return {};
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(root.c_str(), 0700) != 0) return {};
    return root;
}

}  // namespace dorvel_link
