#include "testbus.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testbus {

static std::string MakeRoot() {
    std::string tmpl = (fs::temp_directory_path() / "ufdtest-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    fs::create_directories(tmpl + "/bus");
    fs::create_directories(tmpl + "/sarnik");
    return tmpl;
}

TestBus::TestBus() : root_(MakeRoot()), bus_(root_ + "/bus") {
    setenv("SARNIK_SIM_BUS", (root_ + "/bus").c_str(), 1);
    setenv("SARNIK_ROOT", (root_ + "/sarnik").c_str(), 1);
    // A station started here keeps its production log in the bus's folder,
    // never in the user's own.
    setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
}

TestBus::~TestBus() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string TestBus::Plug(const simbus::PlugOptions& opts) {
    return bus_.plug(opts);
}

std::vector<std::string> TestBus::Trace(const std::string& id) const {
    return bus_.trace(id);
}

std::vector<int> TestBus::Opcodes(const std::string& id) const {
    std::vector<int> ops;
    for (const auto& line : bus_.trace(id)) {
        if (line.size() >= 2) ops.push_back(std::stoi(line.substr(0, 2), nullptr, 16));
    }
    return ops;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

}  // namespace testbus

#include "ui/model.h"

namespace {
// Every station test runs with strict control names: a name the window does
// not have fails the test instead of being ignored.
const bool kStrictNames = (galmor::WindowModel::SetStrictNames(true), true);
}  // namespace
