// The galmor program's start-up: recipe, summary, grid, first discovery and
// the headless printout, run as a separate process on a simulated bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testbus.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs `program` with `args`; stdout and stderr go to files in `scratch`.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& scratch) {
    const std::string outPath = scratch + "/out.txt", errPath = scratch + "/err.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    Outcome r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadAll(outPath);
    r.err = ReadAll(errPath);
    return r;
}

class GalmorCli : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(galmor_)) << galmor_ << " is not built";
        home_ = bus_.root() + "/home";
        files_ = home_ + "/files/";
        testbus::WriteFile(files_ + "7301.img", std::string(4096, 'L'));
        testbus::WriteFile(files_ + "Reserve.img", std::string(1000, 'R'));
    }
    void WriteRecipe(const std::string& shares) {
        testbus::WriteFile(home_ + "/Product.ini",
                           "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n[USB MANUFACTURE STRING]\r\nAB\r\n"
                           "[USB PRODUCT STRING]\r\nDisk\r\n[SCSI MANUFACTURE STRING]\r\nAB\r\n"
                           "[SCSI PRODUCT STRING]\r\nDisk\r\n[PARTITION STATUS]\r\nParNum=2\r\n" +
                               shares +
                               "[DISK CAPACITY]\r\nSize=512\r\n[7301 Files Directory]\r\n" +
                               files_ + "\r\n");
    }
    Outcome Galmor(std::vector<std::string> args) { return RunProgram(galmor_, args, bus_.root()); }

    testbus::TestBus bus_;  // an empty bus unless a test plugs a device
    std::string galmor_ = std::string(UFD_BIN_DIR) + "/galmor";
    std::string home_, files_;
};

TEST_F(GalmorCli, StartUpOnAnEmptyBusPrintsTheWindow) {
    WriteRecipe("1st=0.5\r\n2nd=0.5\r\n");
    const Outcome r = Galmor({"--headless", "--home", home_});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("  VID = 1234  PID = 5678\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  USB String = AB  Disk\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Disk Lab: 7306\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Check Size (MB): 512\n"), std::string::npos);
    for (int row = 0; row <= 7; ++row) {
        EXPECT_NE(
            r.out.find("  row " + std::to_string(row) + ": Disk " + std::to_string(row) + " |"),
            std::string::npos)
            << row;
    }
    EXPECT_EQ(r.out.find("  row 8:"), std::string::npos);
    EXPECT_NE(r.out.find("  Start (&S): disabled\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Banner: hidden\n"), std::string::npos);
}

TEST_F(GalmorCli, OnePluggedDiskIsOneRow) {
    WriteRecipe("1st=1\r\n");
    bus_.Plug();
    const Outcome r = Galmor({"--headless", "--home", home_});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("  row 0: Disk 0 | picture: present"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("  row 1: Disk 1 | picture: present"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Start (&S): enabled\n"), std::string::npos) << r.out;
}

TEST_F(GalmorCli, RejectedRecipeExitsTwoWithTheMessagesInOrder) {
    WriteRecipe("1st=0.7\r\n2nd=0.2\r\n");
    Outcome r = Galmor({"--headless", "--home", home_});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("[error] Partition Information error\n"), std::string::npos) << r.err;

    fs::remove(files_ + "7301.img");
    WriteRecipe("1st=1\r\n");
    r = Galmor({"--headless", "--home", home_});
    EXPECT_EQ(r.code, 2);
    const size_t missing =
        r.err.find("[plain] Missing Autorun File : " + files_ + "7301.img !!!\n");
    const size_t partition = r.err.find("[error] Partition Information error\n");
    ASSERT_NE(missing, std::string::npos) << r.err;
    ASSERT_NE(partition, std::string::npos) << r.err;
    EXPECT_LT(missing, partition);

    // A typo is refused before any disk command, naming the file and the line.
    WriteRecipe("1st=one\r\n");
    r = Galmor({"--headless", "--home", home_});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("[error] " + home_ + "/Product.ini:14: 1st must be a number"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Partition Information error"), std::string::npos) << r.err;
}

TEST_F(GalmorCli, ArgumentsAndExitCodes) {
    WriteRecipe("1st=1\r\n");
    Outcome r = Galmor({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* opt : {"--headless", "--home", "--items", "--compare-disk",
                            "--no-compare-disk", "--action", "--report", "recipe", "no disk"}) {
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    }
    // Without --headless and with no display to open the window on (or no
    // window in this build): a clear message and exit code 4.
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(var);
    r = Galmor({"--home", home_});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("--headless"), std::string::npos);
    // Usage errors: one code, 64, in every program, as each one's help says.
    r = Galmor({"--headless", "--home", home_, "--items", "format,polish"});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("polish"), std::string::npos);
    r = Galmor({"--headless", "--home", home_, "--action", "dance"});
    EXPECT_EQ(r.code, 64);
    r = Galmor({"--headless", "--home", home_, "--compare-disk", "--no-compare-disk"});
    EXPECT_EQ(r.code, 64);
    r = Galmor({"log", "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Exit codes:"), std::string::npos) << r.out;
    for (const char* prog : {"galmor", "dorvel", "simbus"}) {
        const std::string path = std::string(UFD_BIN_DIR) + "/" + prog;
        r = RunProgram(path, {"--version"}, bus_.root());
        EXPECT_EQ(r.code, 0) << prog;
        EXPECT_EQ(r.out, std::string(prog) + " " + UFD_VERSION + "\n");
        r = RunProgram(path, {"--no-such-option"}, bus_.root());
        EXPECT_EQ(r.code, 64) << prog << r.err;
        EXPECT_NE(RunProgram(path, {"--help"}, bus_.root()).out.find("64 usage error"),
                  std::string::npos)
            << prog;
    }
    // An action with no disk on the bus.
    r = Galmor({"--headless", "--home", home_, "--action", "run"});
    EXPECT_EQ(r.code, 3) << r.out << r.err;
}

TEST_F(GalmorCli, MissingCommandLibraryIsAClearError) {
    // The program alone in a folder, with no library next to it or on the path.
    const std::string lonely = bus_.root() + "/lonely";
    fs::create_directories(lonely);
    fs::copy_file(galmor_, lonely + "/galmor");
    fs::permissions(lonely + "/galmor", fs::perms::owner_all);
    WriteRecipe("1st=1\r\n");
    unsetenv("LD_LIBRARY_PATH");
    const Outcome r = RunProgram(lonely + "/galmor", {"--headless", "--home", home_}, bus_.root());
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("libsarnik"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
