// Loading the recipe: "Product.ini" from the station's home folder and the
// image files of its files folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/view.h"
#include "recipe/settings.h"

namespace galmor {

// Outcome of a load; the values are those the start-up step tests. Invalid:
// refused as written, with one message of its own (file, line, what was
// expected) and no other.
enum class LoadResult : int { Rejected = 0, BadPartitionCount = 1, Accepted = 2, Invalid = 3 };

struct RecipeLoad {
    LoadResult result = LoadResult::Rejected;
    // Messages for the operator, in the order they arose.
    std::vector<MessageBox> messages;
    std::optional<bool> compareDisk;  // the recipe's "Compare Disk" choice
    bool capacityGiven = false;       // the recipe gave a disk capacity
    // Values taken in another sense than written, for standard error.
    std::vector<std::string> warnings;
};

// The largest recipe read; a real one is a few hundred bytes.
constexpr size_t kMaxRecipeBytes = 1024 * 1024;

// Reads <homeDir>/Product.ini and the image files it names into `s`.
RecipeLoad LoadRecipe(const std::string& homeDir, ProductSettings& s);

// Checks a files folder: it exists and holds at least one regular file.
bool FolderHasFiles(const std::string& folder);

}  // namespace galmor
