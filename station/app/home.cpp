#include "app/home.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

namespace galmor {

namespace {

constexpr char kRecipe[] = "Product.ini";

bool HoldsRecipe(const std::string& dir) {
    std::error_code ec;
    return !dir.empty() &&
           std::filesystem::is_regular_file(std::filesystem::path(dir) / kRecipe, ec);
}

bool Absolute(const char* s) {
    return s != nullptr && s[0] == '/';
}

std::string UserHome(const EnvLookup& env) {
    if (const char* h = env("HOME"); Absolute(h)) return h;
    std::string buf(16384, '\0');
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        Absolute(found->pw_dir)) {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

HomeSearch FindHome(const std::string& option, const std::string& programFolder,
                    const EnvLookup& env) {
    HomeSearch s;
    auto settle = [&s](std::string dir, std::string source) {
        s.tried.push_back({dir, std::move(source)});
        s.dir = std::move(dir);
        s.found = HoldsRecipe(s.dir);
        return s;
    };
    if (!option.empty()) return settle(option, "--home");
    if (const char* g = env("GALMOR_HOME"); g && *g) return settle(g, "GALMOR_HOME");

    if (!programFolder.empty()) {
        if (HoldsRecipe(programFolder)) return settle(programFolder, "program folder");
        s.tried.push_back({programFolder, "program folder"});
    }

    if (const char* x = env("XDG_CONFIG_HOME"); Absolute(x)) {
        return settle(std::string(x) + "/galmor", "XDG_CONFIG_HOME");
    }
    const std::string home = UserHome(env);
    if (!home.empty()) return settle(home + "/.config/galmor", "XDG_CONFIG_HOME default");
    return s;  // nowhere left to look
}

std::string MissingRecipeMessage(const HomeSearch& search) {
    std::string msg = std::string("no recipe: ") + kRecipe + " not found in ";
    if (search.tried.empty()) return msg + "any folder (no --home, GALMOR_HOME or home folder)";
    for (size_t i = 0; i < search.tried.size(); ++i) {
        if (i > 0) msg += i + 1 == search.tried.size() ? " or " : ", ";
        msg += search.tried[i].dir + " (" + search.tried[i].source + ")";
    }
    return msg;
}

}  // namespace galmor
