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

// A default folder must be a real directory of this user, open to it alone
// (a umask never leaves it without the owner's rights either).
bool private_dir_ok(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

}  // namespace

std::string prepare_root() {
    const std::string root = sarnik_files::root_folder();
    if (root.empty()) return {};
    if (sarnik_files::root_is_explicit()) {
        make_dir(root);
        struct stat st {};
        if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
        return root;
    }
    // <home>/.local/state/sarnik: make the parents too (private, as the XDG
    // state folder should be); $XDG_RUNTIME_DIR exists already.
    const std::string suffix = "/.local/state/sarnik";
    if (root.size() > suffix.size() &&
        root.compare(root.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const std::string home = root.substr(0, root.size() - suffix.size());
        make_dir(home + "/.local");
        make_dir(home + "/.local/state");
    }
    make_dir(root);
    return private_dir_ok(root) ? root : std::string();
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
