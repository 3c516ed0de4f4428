#include "files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sarnik_files.h"

namespace sarnik {

namespace {

bool make_dir(const std::string& dir) {
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string prepare_root(std::string* why) {
    const std::string root = sarnik_files::root_folder();
    const bool explicit_root = sarnik_files::root_is_explicit();
    if (!root.empty() && !explicit_root) {
        // <home>/.local/state/sarnik: make the parents too (private, as the XDG
        // state folder should be); $XDG_RUNTIME_DIR exists already.
        const std::string suffix = "/.local/state/sarnik";
        if (root.size() > suffix.size() &&
            root.compare(root.size() - suffix.size(), suffix.size(), suffix) == 0) {
            const std::string home = root.substr(0, root.size() - suffix.size());
            make_dir(home + "/.local");
            make_dir(home + "/.local/state");
        }
    }
    if (!root.empty()) make_dir(root);
    std::string problem = sarnik_files::folder_problem(root, !explicit_root);
    // A default folder is closed to others (a umask never leaves it without
    // the owner's rights either); an explicit one is the user's to set.
    if (problem.empty() && !explicit_root) {
        struct stat st {};
        if (::lstat(root.c_str(), &st) != 0 ||
            ((st.st_mode & 0777) != 0700 && ::chmod(root.c_str(), 0700) != 0)) {
            problem = root + " cannot be made private";
        }
    }
    if (problem.empty()) return root;
    if (why) *why = problem;
    return {};
}

bool replace_file(const std::string& root, const char* name, const void* data, size_t len) {
    if (root.empty()) return false;
    std::string tmp = root + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0;
    const auto* p = static_cast<const unsigned char*>(data);
    size_t left = len;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    const std::string target = root + "/" + name;
    if (ok && ::rename(tmp.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
}

}  // namespace sarnik
