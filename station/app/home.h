// Where an installed station finds its recipe folder (the folder that holds
// "Product.ini" and its image files).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace galmor {

// One place looked at: the folder and what named it.
struct HomePlace {
    std::string dir;
    std::string source;  // "--home", "GALMOR_HOME", "program folder", "XDG_CONFIG_HOME", ...
};

struct HomeSearch {
    std::string dir;               // the folder chosen; empty when none could be named
    bool found = false;            // the chosen folder holds Product.ini
    std::vector<HomePlace> tried;  // every place looked at, in order
};

using EnvLookup = std::function<const char*(const char*)>;

// The recipe folder, in this order:
//   1. `option` (--home DIR) when given;
//   2. $GALMOR_HOME when set and not empty;
//   3. `programFolder` when it holds Product.ini (the portable layout);
//   4. $XDG_CONFIG_HOME/galmor when XDG_CONFIG_HOME is an absolute path, else
//      $HOME/.config/galmor (home from $HOME, else the user database).
// An explicit choice (1 or 2) is final even when it holds no Product.ini, so
// that a mistyped folder is reported instead of silently replaced.
HomeSearch FindHome(const std::string& option, const std::string& programFolder,
                    const EnvLookup& env);

// "Product.ini" was not found: the message names every place tried.
std::string MissingRecipeMessage(const HomeSearch& search);

}  // namespace galmor
