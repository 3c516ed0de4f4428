// Where an installed station looks for its recipe folder.
#include "app/home.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using galmor::FindHome;
using galmor::HomeSearch;
using galmor::MissingRecipeMessage;

class HomeSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/home_test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        program_ = root_ + "/bin";
        fs::create_directories(program_);
        env_["HOME"] = root_ + "/user";
    }
    void TearDown() override { fs::remove_all(root_); }

    static void Recipe(const std::string& dir) {
        fs::create_directories(dir);
        std::ofstream(dir + "/Product.ini") << "[Product]\r\n";
    }
    HomeSearch Find(const std::string& option = "") {
        return FindHome(option, program_, [this](const char* name) -> const char* {
            auto it = env_.find(name);
            return it == env_.end() ? nullptr : it->second.c_str();
        });
    }

    std::string root_, program_;
    std::map<std::string, std::string> env_;
};

TEST_F(HomeSearchTest, EachPlaceWinsOverTheOnesAfterIt) {
    const std::string option = root_ + "/option", galmorHome = root_ + "/env", xdg = root_ + "/xdg";
    for (const auto& d : {option, galmorHome, program_, xdg + "/galmor"}) Recipe(d);
    env_["GALMOR_HOME"] = galmorHome;
    env_["XDG_CONFIG_HOME"] = xdg;

    HomeSearch s = Find(option);
    EXPECT_EQ(s.dir, option);
    EXPECT_TRUE(s.found);

    s = Find();
    EXPECT_EQ(s.dir, galmorHome);

    env_["GALMOR_HOME"] = "";  // set but empty: not a choice
    s = Find();
    EXPECT_EQ(s.dir, program_);
    EXPECT_TRUE(s.found);

    fs::remove(program_ + "/Product.ini");
    s = Find();
    EXPECT_EQ(s.dir, xdg + "/galmor");
    EXPECT_TRUE(s.found);
    ASSERT_EQ(s.tried.size(), 2u);
    EXPECT_EQ(s.tried[0].dir, program_);
}

TEST_F(HomeSearchTest, ProgramFolderCountsOnlyWithARecipeFile) {
    // A folder named Product.ini is no recipe; the search goes on.
    fs::create_directories(program_ + "/Product.ini");
    Recipe(env_["HOME"] + "/.config/galmor");
    HomeSearch s = Find();
    EXPECT_EQ(s.dir, env_["HOME"] + "/.config/galmor");
    EXPECT_TRUE(s.found);

    // XDG_CONFIG_HOME must be absolute; a relative one is ignored.
    env_["XDG_CONFIG_HOME"] = "relative/config";
    s = Find();
    EXPECT_EQ(s.dir, env_["HOME"] + "/.config/galmor");
}

TEST_F(HomeSearchTest, ExplicitChoiceIsFinalAndTheErrorNamesEveryPlaceTried) {
    Recipe(program_);
    // A mistyped --home is reported, not replaced by the program's recipe.
    HomeSearch s = Find(root_ + "/typo");
    EXPECT_FALSE(s.found);
    EXPECT_EQ(s.dir, root_ + "/typo");
    EXPECT_EQ(MissingRecipeMessage(s),
              "no recipe: Product.ini not found in " + root_ + "/typo (--home)");

    env_["GALMOR_HOME"] = root_ + "/nowhere";
    s = Find();
    EXPECT_FALSE(s.found);
    EXPECT_EQ(s.dir, root_ + "/nowhere");

    env_.erase("GALMOR_HOME");
    fs::remove(program_ + "/Product.ini");
    env_["XDG_CONFIG_HOME"] = root_ + "/xdg";
    s = Find();
    EXPECT_FALSE(s.found);
    EXPECT_EQ(MissingRecipeMessage(s), "no recipe: Product.ini not found in " + program_ +
                                           " (program folder) or " + root_ +
                                           "/xdg/galmor (XDG_CONFIG_HOME)");
}

}  // namespace
