// Image files read in pieces from a descriptor opened at load.
#include "recipe/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/port.h"

namespace galmor {

struct ImageFile::File {
    int fd = -1;
    off_t size = 0;
    struct timespec mtime {};

    ~File() {
        if (fd >= 0) ::close(fd);
    }
    // The file still has the length and modification time it was opened with.
    bool Unchanged() const {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && st.st_size == size && st.st_mtim.tv_sec == mtime.tv_sec &&
               st.st_mtim.tv_nsec == mtime.tv_nsec;
    }
};

ImageFile::OpenResult ImageFile::Open(const std::string& path, ImageFile& out) {
    out = ImageFile();
    // Without blocking: a FIFO at the path must not hold the station.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? OpenResult::Missing : OpenResult::Unreadable;
    }
    auto file = std::make_shared<File>();
    file->fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return OpenResult::Unreadable;
    if (!S_ISREG(st.st_mode)) return OpenResult::Missing;
    file->size = st.st_size;
    file->mtime = st.st_mtim;
    out.size_ = static_cast<uint64_t>(st.st_size);
    out.file_ = std::move(file);
    return OpenResult::Ok;
}

bool ImageFile::Read(uint64_t offset, size_t len, uint8_t* buf) const {
    const uint64_t have64 = offset < size_ ? std::min<uint64_t>(len, size_ - offset) : 0;
    const auto have = static_cast<size_t>(have64);
    size_t got = 0;
    while (got < have) {
        const ssize_t n =
            ::pread(file_->fd, buf + got, have - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // an error, or the file shrank
        got += static_cast<size_t>(n);
    }
    std::memset(buf + have, 0, len - have);
    // Checked after the read, so that a change while reading is caught too.
    return have == 0 || file_->Unchanged();
}

int64_t LoaderSectorsFor(uint64_t bytes) {
    const auto sectors = static_cast<int64_t>((bytes + kSector - 1) / kSector);
    return sectors + sectors % 2;
}

int64_t ReserveSectorsFor(uint64_t bytes) {
    return static_cast<int64_t>((bytes + kSector - 1) / kSector);
}

}  // namespace galmor
