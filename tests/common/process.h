// Running a program from a test: its exit status and its output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testproc {

// Runs `cmd` through the shell; returns its exit status (-1 when it did not
// exit normally) and its standard output in `out`, with standard error too
// when `withStderr`.
inline int Run(const std::string& cmd, std::string* out, bool withStderr = false) {
    std::string all;
    FILE* p = popen((withStderr ? cmd + " 2>&1" : cmd).c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
    const int status = pclose(p);
    if (out) *out = all;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testproc
