// Where libsarnik keeps its two files, for programs that read them back
// (the device-path log "tessary.txt" and the data dump "tessary.bin").
//
// The folder is, in this order:
//   $SARNIK_ROOT                    when set and not empty;
//   $XDG_RUNTIME_DIR/sarnik         when XDG_RUNTIME_DIR is an absolute path;
//   <home>/.local/state/sarnik      home from $HOME (absolute), else the user database.
// The library creates a missing folder with mode 0700; it refuses a default
// folder that is a symbolic link or belongs to another user. Files are 0600.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace sarnik_files {

// True when the folder is the user's explicit choice ($SARNIK_ROOT).
inline bool root_is_explicit() {
    const char* r = std::getenv("SARNIK_ROOT");
    return r && *r;
}

// The folder, or "" when none can be determined (no file is written then).
inline std::string root_folder() {
    if (const char* r = std::getenv("SARNIK_ROOT"); r && *r) return r;
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && x[0] == '/') {
        return std::string(x) + "/sarnik";
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else {
        std::vector<char> buf(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) return {};
    return home + "/.local/state/sarnik";
}

inline std::string log_path() {
    return root_folder() + "/tessary.txt";
}
inline std::string dump_path() {
    return root_folder() + "/tessary.bin";
}

}  // namespace sarnik_files
