// A private PostgreSQL server for tests: initdb into a temporary folder, the
// server on a unix socket in that folder, no TCP. Started once per test
// program and stopped when the program ends. The server refuses to run as
// root, so under root it runs as "nobody".
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace ufdtest {

class PgServer {
  public:
    // The one server of this program; nullptr when no server binaries are
    // installed (the reason is in *skip). A server that exists but does not
    // start is a failure, reported through ok()/error(). Tests run the
    // server without fsync; `durable` (benchmarks) keeps it, and only the
    // first call decides.
    static PgServer* Get(std::string* skip, bool durable = false) {
        static std::once_flag once;
        static PgServer* server = nullptr;
        static std::string why;
        std::call_once(once, [durable] {
            const std::string bin = FindBin();
            if (bin.empty()) {
                why =
                    "no PostgreSQL server binaries under /usr/lib/postgresql/*/bin "
                    "(install the postgresql package); PostgreSQL cases skipped";
                return;
            }
            server = new PgServer(bin, durable);
            std::atexit([] { server->Stop(); });
        });
        if (!server && skip) *skip = why;
        return server;
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Creates a fresh database and returns its URL.
    std::string NewDatabase() {
        static std::atomic<int> counter{0};
        const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++counter);
        std::string out;
        if (!Run({bin_ + "/createdb", "-h", dir_, "-p", kPort, "-U", "galmor", name}, &out)) {
            error_ = "createdb failed: " + out;
            return {};
        }
        return Url(name);
    }

    std::string Url(const std::string& db) const {
        return "postgresql:///" + db + "?host=" + dir_ + "&port=" + kPort + "&user=galmor";
    }

    // Runs SQL through psql on the given database; false with its output.
    bool Psql(const std::string& db, const std::string& sql, std::string* out) {
        return Run({bin_ + "/psql", "-h", dir_, "-p", kPort, "-U", "galmor", "-d", db, "-v",
                    "ON_ERROR_STOP=1", "-qAtc", sql},
                   out);
    }

    // Sends `sig` to the server and every process it has started (its
    // backends): SIGSTOP freezes it as a hung host would, SIGCONT thaws it.
    void SignalAll(int sig) {
        std::ifstream pidfile(dir_ + "/data/postmaster.pid");
        long postmaster = 0;
        pidfile >> postmaster;
        if (postmaster <= 0) return;
        ::kill(static_cast<pid_t>(postmaster), sig);
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
            std::ifstream stat(e.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            // pid (comm) state ppid ...: the name may hold blanks.
            const size_t close = line.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(line.substr(close + 2));
            std::string state;
            long ppid = 0;
            rest >> state >> ppid;
            if (ppid == postmaster) ::kill(static_cast<pid_t>(std::stol(line)), sig);
        }
    }

  private:
    static constexpr const char* kPort = "5433";

    static std::string FindBin() {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const auto bin = e.path() / "bin";
            if (std::filesystem::exists(bin / "initdb") &&
                std::filesystem::exists(bin / "pg_ctl")) {
                found.push_back(bin.string());
            }
        }
        std::sort(found.begin(), found.end());
        return found.empty() ? std::string() : found.back();
    }

    PgServer(std::string bin, bool durable) : bin_(std::move(bin)) {
        char tmpl[] = "/tmp/galmor-pg-XXXXXX";
        if (!mkdtemp(tmpl)) {
            error_ = "cannot make a temporary folder";
            return;
        }
        dir_ = tmpl;
        if (geteuid() == 0 && chown(dir_.c_str(), 65534, 65534) != 0) {
            error_ = "cannot hand the temporary folder to nobody";
            return;
        }
        std::string out;
        if (!Run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", "galmor", "-A", "trust",
                  "--no-sync", "-E", "UTF8", "--locale=C"},
                 &out)) {
            error_ = "initdb failed: " + out;
            return;
        }
        // fsync off for tests: they check behaviour, not the server's durability.
        const std::string options = "-k " + dir_ + " -c listen_addresses='' -p " + kPort +
                                    " -c max_connections=60" + (durable ? "" : " -F");
        if (!Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t",
                  "60", "-o", options, "start"},
                 &out)) {
            std::ifstream log(dir_ + "/server.log");
            std::stringstream ss;
            ss << log.rdbuf();
            error_ = "pg_ctl start failed: " + out + ss.str();
            return;
        }
        started_ = true;
    }

    void Stop() {
        if (started_) {
            std::string out;
            Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"}, &out);
            started_ = false;
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // Runs a server program (as nobody when we are root), collecting its
    // output; true when it exits with 0.
    bool Run(std::vector<std::string> argv, std::string* out) {
        std::lock_guard<std::mutex> lock(run_mutex_);
        if (geteuid() == 0) {
            argv.insert(argv.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        }
        const std::string log = dir_ + "/cmd.out";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        // Server programs run from the folder they own, not from one that
        // nobody may not enter.
        posix_spawn_file_actions_addchdir_np(&fa, dir_.c_str());
        pid_t pid = 0;
        const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            *out = "cannot start " + argv[0];
            return false;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::ifstream f(log);
        std::stringstream ss;
        ss << f.rdbuf();
        *out = ss.str();
        while (!out->empty() && out->back() == '\n') out->pop_back();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string bin_;
    std::string dir_;
    std::string error_;
    bool started_ = false;
    std::mutex run_mutex_;
};

}  // namespace ufdtest
