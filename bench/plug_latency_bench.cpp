// Plug-to-row latency on the simulated bus: a watching station
// (`galmor --headless --watch`, which starts dorvel) and `simbus plug`. For
// each plug, the time from `simbus plug` returning to the station printing
// the disk's row with the picture "present"; then the disk is unplugged and
// the row must show "absent" again before the next plug. Prints p50, p99 and
// max over all plugs.
//
//   plug_latency_bench [--plugs N]      (default 200)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

fs::path BinDir() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path();
}

// Runs a program to its end; its standard output.
std::string RunTool(const std::vector<std::string>& args, int* status) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while (rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    *status = -1;
    if (rc == 0) waitpid(pid, status, 0);
    return text;
}

class Station {
  public:
    bool Start(const fs::path& bin, const fs::path& home) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string prog = (bin / "galmor").string();
        std::vector<std::string> args = {prog, "--headless", "--watch", "--home", home.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fd_ = out[0];
        return rc == 0;
    }
    ~Station() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    // Reads lines until one starts with `prefix` and contains `text`; the
    // time it was read, or nothing after 10 s.
    bool WaitRow(const std::string& prefix, const std::string& text, Clock::time_point* when) {
        const auto until = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                const std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (line.rfind(prefix, 0) == 0 && line.find(text) != std::string::npos) {
                    *when = Clock::now();
                    return true;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buf_;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    int plugs = 200;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--plugs") == 0) plugs = std::max(1, std::atoi(argv[++i]));
    }
    const fs::path bin = BinDir();
    char tmpl[] = "/tmp/plug-latency-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const fs::path root = tmpl;
    fs::create_directories(root / "bus");
    fs::create_directories(root / "sarnik");
    fs::create_directories(root / "home");
    setenv("SARNIK_SIM_BUS", (root / "bus").c_str(), 1);
    setenv("SARNIK_ROOT", (root / "sarnik").c_str(), 1);
    {
        const fs::path files = root / "home" / "files";
        fs::create_directories(files);
        std::ofstream(files / "7301.img") << std::string(128 * 512, 'L');
        std::ofstream(files / "Reserve.img") << std::string(1000, 'R');
        std::ofstream(root / "home" / "Product.ini")
            << "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
               "[USB MANUFACTURE STRING]\r\nKorva\r\n[USB PRODUCT STRING]\r\nFlash Disk\r\n"
               "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
               "[PARTITION STATUS]\r\nParNum=1\r\n1st=1\r\n[DISK LABEL]\r\nBENCH\r\n"
               "[DISK CAPACITY]\r\nSize=16\r\n[Serial Number]\r\nAB123456\r\n"
               "[7301 Files Directory]\r\n"
            << files.string() << "/\r\n";
    }

    int rc = 1;
    {
        Station st;
        Clock::time_point t;
        if (!st.Start(bin, root / "home") || !st.WaitRow("Grid", "", &t)) {
            std::cerr << "plug_latency_bench: the station did not start\n";
        } else {
            std::vector<double> ms;
            const std::string simbus = (bin / "simbus").string();
            for (int i = 0; i < plugs; ++i) {
                int status = 0;
                std::string id = RunTool({simbus, "plug"}, &status);
                const auto t0 = Clock::now();
                id.erase(id.find_last_not_of("\r\n") + 1);
                Clock::time_point t1;
                if (status != 0 || !st.WaitRow("  row 0:", "picture: present", &t1)) {
                    std::cerr << "plug_latency_bench: plug " << i + 1 << " not shown\n";
                    break;
                }
                ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                RunTool({simbus, "unplug", id}, &status);
                if (status != 0 || !st.WaitRow("  row 0:", "picture: absent", &t1)) {
                    std::cerr << "plug_latency_bench: unplug " << i + 1 << " not shown\n";
                    break;
                }
            }
            if (static_cast<int>(ms.size()) == plugs) {
                std::printf("plugs %d  p50 %.1f ms  p99 %.1f ms  max %.1f ms\n", plugs,
                            Percentile(ms, 0.50), Percentile(ms, 0.99),
                            *std::max_element(ms.begin(), ms.end()));
                rc = 0;
            }
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return rc;
}
