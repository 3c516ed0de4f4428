// Time marks along the path from a device change to the station's grid, for
// the plug-to-row benchmark. When $UFD_STAGE_MARKS names an existing file,
// each mark appends one line "<stage> <CLOCK_MONOTONIC nanoseconds>" to it;
// otherwise a mark costs one branch. Shared by the monitor and the station so
// that both write the same clock in the same form. The file is never created
// here: only a benchmark that made it gets marks.
#pragma once

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace dorvel_link {

inline int StageMarksFd() {
    static const int fd = [] {
        const char* path = std::getenv("UFD_STAGE_MARKS");
        if (!path || !*path) return -1;
        return ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    }();
    return fd;
}

inline void MarkStage(const char* stage) {
    const int fd = StageMarksFd();
    if (fd < 0) return;
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[96];
    const int n = std::snprintf(line, sizeof line, "%s %lld\n", stage,
                                static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
    // One write per line: marks of the two programs never interleave.
    if (n > 0 && static_cast<size_t>(n) < sizeof line)
        (void)!::write(fd, line, static_cast<size_t>(n));
}

}  // namespace dorvel_link
