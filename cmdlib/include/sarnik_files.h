/* Where libsarnik keeps its two files, for programs that read them back
 * (the device-path log "tessary.txt" and the data dump "tessary.bin").
 * In C the file names below; in C++ also the folder rule as inline helpers.
 */
#ifndef SARNIK_FILES_H
#define SARNIK_FILES_H

#define SARNIK_LOG_FILE "tessary.txt"
#define SARNIK_DUMP_FILE "tessary.bin"

// The folder is, in this order:
//   $SARNIK_ROOT                    when set and not empty;
//   $XDG_RUNTIME_DIR/sarnik         when XDG_RUNTIME_DIR is an absolute path;
//   <home>/.local/state/sarnik      home from $HOME (absolute), else the user database.
// The library creates a missing folder with mode 0700. It refuses a folder
// that is a symbolic link, is not a directory or belongs to another user; a
// default folder is closed to other users (mode 0700), an explicit one must
// already be writable by its owner and by nobody else (its mode is never
// changed). Files are 0600.
//
// The device-path log is part of an open's contract: when the folder is
// refused or the log cannot be rewritten, fnFerrule_GetDiskHandle and
// fnFerrule_GetCDHandle open nothing and return 0, print one line
// "sarnik: ..." on standard error and leave errno at EACCES (any other open
// failure leaves errno at 0). folder_problem() tells a caller why.

#ifdef __cplusplus

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// Why `dir` cannot take the library's files, or "" when it can. A folder
// other than the explicit one may still have a mode that the library closes
// (`close_to_others`): then only its owner's write right is required.
inline std::string folder_problem(const std::string& dir, bool close_to_others = false) {
    if (dir.empty()) return "no folder for the library's files (set SARNIK_ROOT or HOME)";
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return dir + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return dir + " is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
    if (st.st_uid != ::geteuid()) return dir + " belongs to another user";
    if (close_to_others) return {};
    if ((st.st_mode & S_IWUSR) == 0) return dir + " is read-only";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return dir + " is writable by other users";
    return {};
}

// Why the library's folder of the moment cannot take its files, or "".
inline std::string root_problem() {
    return folder_problem(root_folder(), !root_is_explicit());
}

inline std::string log_path() {
    return root_folder() + "/" SARNIK_LOG_FILE;
}
inline std::string dump_path() {
    return root_folder() + "/" SARNIK_DUMP_FILE;
}

}  // namespace sarnik_files

#endif /* __cplusplus */
#endif /* SARNIK_FILES_H */
