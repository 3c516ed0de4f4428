// Plug-to-row latency on the simulated bus: a watching station
// (`galmor --headless --watch`, which starts dorvel) and `simbus plug`. For
// each plug, the time from `simbus plug` returning to the station printing
// the disk's row with the picture "present"; then the disk is unplugged and
// the row must show "absent" again before the next plug. Prints p50, p99 and
// max over all plugs.
//
// The programs mark the stages on the way (UFD_STAGE_MARKS): dorvel sees the
// bus change ("event") and sends its notice ("notice"), the station receives
// it ("received"), its timer tick starts the discovery ("discovery"), which
// ends ("discovered"), and the row is read here ("row"). For each stage the
// time from `simbus plug` returning and from the stage before are printed, so
// the figure says where the time goes. Negative times: the stage happened
// before `simbus plug` returned (its own process exit is part of the plug).
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
#include <optional>
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

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The stages marked by the programs, in path order; "row" is this program's.
const std::vector<std::string> kStages = {"event",     "notice",     "received",
                                          "discovery", "discovered", "row"};

// Reads the marks appended since the last call.
class StageMarks {
  public:
    explicit StageMarks(fs::path file) : file_(std::move(file)) {}
    // Marks as (stage, time), in file order.
    std::vector<std::pair<std::string, Clock::time_point>> ReadNew() {
        std::vector<std::pair<std::string, Clock::time_point>> out;
        std::ifstream in(file_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written
            offset_ += line.size() + 1;
            const size_t sp = line.find(' ');
            if (sp == std::string::npos) continue;
            const long long ns = std::atoll(line.c_str() + sp + 1);
            out.emplace_back(line.substr(0, sp), Clock::time_point(std::chrono::nanoseconds(ns)));
        }
        return out;
    }

  private:
    fs::path file_;
    size_t offset_ = 0;
};

// Per stage: times from the plug's return and from the previous stage.
struct StageFigures {
    std::vector<std::vector<double>> since_plug = std::vector<std::vector<double>>(kStages.size());
    std::vector<std::vector<double>> step = std::vector<std::vector<double>>(kStages.size());
    int incomplete = 0;  // plugs with a stage missing

    // The first mark of each stage at or after `start` (the plug's launch).
    void Add(const std::vector<std::pair<std::string, Clock::time_point>>& marks,
             Clock::time_point start, Clock::time_point t0, Clock::time_point row) {
        std::vector<std::optional<Clock::time_point>> at(kStages.size());
        for (const auto& [name, when] : marks) {
            if (when < start) continue;
            const auto it = std::find(kStages.begin(), kStages.end(), name);
            if (it == kStages.end()) continue;
            auto& slot = at[static_cast<size_t>(it - kStages.begin())];
            if (!slot) slot = when;
        }
        at.back() = row;
        if (std::any_of(at.begin(), at.end(), [](const auto& a) { return !a; })) {
            ++incomplete;
            return;
        }
        for (size_t i = 0; i < kStages.size(); ++i) {
            since_plug[i].push_back(Ms(*at[i] - t0));
            step[i].push_back(i == 0 ? Ms(*at[i] - start) : Ms(*at[i] - *at[i - 1]));
        }
    }

    void Print() const {
        if (since_plug[0].empty()) {
            std::printf("no stage marks (the programs were built without them?)\n");
            return;
        }
        std::printf("%-11s %27s   %27s\n", "stage", "since plug returned (ms)",
                    "since previous stage (ms)");
        std::printf("%-11s %9s%9s%9s   %9s%9s%9s\n", "", "p50", "p99", "max", "p50", "p99", "max");
        for (size_t i = 0; i < kStages.size(); ++i) {
            const auto& a = since_plug[i];
            const auto& b = step[i];
            std::printf("%-11s %9.1f%9.1f%9.1f   %9.1f%9.1f%9.1f\n", kStages[i].c_str(),
                        Percentile(a, 0.5), Percentile(a, 0.99),
                        *std::max_element(a.begin(), a.end()), Percentile(b, 0.5),
                        Percentile(b, 0.99), *std::max_element(b.begin(), b.end()));
        }
        std::printf("(\"event\" since previous stage: since `simbus plug` was launched)\n");
        if (incomplete) std::printf("%d plug(s) without every stage mark left out\n", incomplete);
    }
};

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
    const fs::path marks_file = root / "stages.txt";
    std::ofstream(marks_file).flush();
    setenv("UFD_STAGE_MARKS", marks_file.c_str(), 1);
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
            StageMarks marks(marks_file);
            StageFigures stages;
            const std::string simbus = (bin / "simbus").string();
            for (int i = 0; i < plugs; ++i) {
                int status = 0;
                marks.ReadNew();  // the previous unplug's
                const auto start = Clock::now();
                std::string id = RunTool({simbus, "plug"}, &status);
                const auto t0 = Clock::now();
                id.erase(id.find_last_not_of("\r\n") + 1);
                Clock::time_point t1;
                if (status != 0 || !st.WaitRow("  row 0:", "picture: present", &t1)) {
                    std::cerr << "plug_latency_bench: plug " << i + 1 << " not shown\n";
                    break;
                }
                ms.push_back(Ms(t1 - t0));
                stages.Add(marks.ReadNew(), start, t0, t1);
                RunTool({simbus, "unplug", id}, &status);
                if (status != 0 || !st.WaitRow("  row 0:", "picture: absent", &t1)) {
                    std::cerr << "plug_latency_bench: unplug " << i + 1 << " not shown\n";
                    break;
                }
            }
            // A stop part-way still shows what was measured until then, marked
            // as such; the exit status says the run is incomplete.
            if (!ms.empty()) {
                if (static_cast<int>(ms.size()) != plugs)
                    std::printf("INCOMPLETE: %zu of %d plugs shown\n", ms.size(), plugs);
                std::printf("plugs %zu  p50 %.1f ms  p99 %.1f ms  max %.1f ms\n", ms.size(),
                            Percentile(ms, 0.50), Percentile(ms, 0.99),
                            *std::max_element(ms.begin(), ms.end()));
                std::printf(
                    "first 20 plugs p50 %.1f ms, last 20 plugs p50 %.1f ms\n",
                    Percentile({ms.begin(), ms.begin() + std::min<size_t>(20, ms.size())}, 0.5),
                    Percentile({ms.end() - std::min<size_t>(20, ms.size()), ms.end()}, 0.5));
                stages.Print();
            }
            if (static_cast<int>(ms.size()) == plugs) rc = 0;
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return rc;
}
