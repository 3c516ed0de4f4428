// The station's layers talk one way: every #include of a station source names
// a file of its own layer or of a layer below it, and every source file is
// listed in the station's build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// From the bottom up.
// The production log needs nothing of the station; only the run uses it.
const std::vector<std::string> kLayers = {"core", "prodlog", "recipe", "controller",
                                          "media", "run",    "ui",     "app"};

std::optional<size_t> Rank(const std::string& layer) {
    for (size_t i = 0; i < kLayers.size(); ++i) {
        if (kLayers[i] == layer) return i;
    }
    return std::nullopt;
}

// The quoted includes of a source text.
std::vector<std::string> QuotedIncludes(const std::string& text) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, include)) out.push_back(m[1]);
    }
    return out;
}

// What is wrong with `file` (in layer `from`) including `target`; empty when
// the edge is allowed. Includes without a folder are outside the station.
std::string EdgeProblem(const std::string& from, const std::string& file,
                        const std::string& target) {
    const auto slash = target.find('/');
    if (slash == std::string::npos) return {};
    const std::string to = target.substr(0, slash);
    const auto fromRank = Rank(from), toRank = Rank(to);
    if (!fromRank) return file + ": not in a layer folder";
    if (!toRank) return file + " includes \"" + target + "\": no such layer";
    if (*toRank > *fromRank) {
        return file + " (" + from + ") includes \"" + target + "\" from the layer above (" + to +
               ")";
    }
    return {};
}

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

const fs::path kStation = fs::path(UFD_SOURCE_DIR) / "station";

TEST(LayerCheck, FindsEdgesAgainstTheOrder) {
    // The checker itself: a step that reaches into the window, a recipe that
    // knows the run, and an unknown folder are caught; downward edges are not.
    EXPECT_NE(EdgeProblem("media", "media/format.cpp", "ui/grid.h"), "");
    EXPECT_NE(EdgeProblem("recipe", "recipe/loader.cpp", "run/station.h"), "");
    EXPECT_NE(EdgeProblem("core", "core/port.h", "controller/controller.h"), "");
    EXPECT_NE(EdgeProblem("run", "run/run.cpp", "gui/window.h"), "");
    EXPECT_EQ(EdgeProblem("ui", "ui/grid.cpp", "core/view.h"), "");
    EXPECT_EQ(EdgeProblem("run", "run/run.cpp", "run/run_internal.h"), "");
    EXPECT_EQ(EdgeProblem("run", "run/discovery.cpp", "sarnik_files.h"), "");
    EXPECT_EQ(QuotedIncludes("#include <vector>\n  #include \"a/b.h\"\n// #include \"c/d.h\"\n"),
              std::vector<std::string>{"a/b.h"});
}

TEST(LayerCheck, StationIncludesFollowTheLayerOrder) {
    ASSERT_TRUE(fs::is_directory(kStation)) << kStation;
    std::vector<std::string> problems;
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(kStation)) {
        const auto ext = e.path().extension();
        if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
        const fs::path rel = fs::relative(e.path(), kStation);
        const std::string layer = rel.begin()->string();
        ++files;
        for (const auto& target : QuotedIncludes(ReadAll(e.path()))) {
            const std::string p = EdgeProblem(layer, rel.string(), target);
            if (!p.empty()) problems.push_back(p);
        }
    }
    EXPECT_GT(files, 30);
    for (const auto& p : problems) ADD_FAILURE() << p;
}

TEST(LayerCheck, EverySourceIsListedInTheBuild) {
    const std::string cmake = ReadAll(kStation / "CMakeLists.txt");
    ASSERT_FALSE(cmake.empty());
    EXPECT_EQ(cmake.find("GLOB"), std::string::npos) << "sources are listed, not globbed";
    for (const auto& e : fs::recursive_directory_iterator(kStation)) {
        if (!e.is_regular_file() || e.path().extension() != ".cpp") continue;
        const std::string rel = fs::relative(e.path(), kStation).string();
        EXPECT_NE(cmake.find(rel), std::string::npos) << rel << " is not in the build";
    }
}

}  // namespace
