// The recipe text parser: no files, no window.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/view.h"
#include "recipe/settings.h"

namespace galmor {

// A text read as a number: its longest numeric prefix, leading blanks
// skipped, no digits giving 0. Empty when the value is out of range.
std::optional<double> RecipeNumber(std::string_view text);
// A text read as a boolean: True/False in any case, or a number (not 0 is
// true). Empty when the text is neither.
std::optional<bool> RecipeBool(std::string_view text);

// What reading the recipe's lines produced besides the settings fields.
struct RecipeText {
    std::vector<MessageBox> messages;  // shown while reading, in order
    bool badPartitionCount = false;    // reading stopped at a bad ParNum line
    std::optional<bool> compareDisk;   // last [7301 Compare Disk Flag] value
    bool capacityGiven = false;        // a [DISK CAPACITY] Size= line was read
    size_t serialLineLength = 0;       // length of the [Serial Number] line kept
    bool secondReservedNegative = false;
};

// Checks a files folder: it must exist and hold at least one file.
using FolderCheck = std::function<bool(const std::string& folder)>;

// Parses the recipe's text into `s` (lines end in CR LF or LF). A relative
// files folder is taken from `homeDir`. `folderOk` validates the files folder.
RecipeText ParseRecipe(std::string_view text, ProductSettings& s, const std::string& homeDir,
                       const FolderCheck& folderOk);

// Values the station takes in another sense than the operator may have meant
// (a serial line longer than a serial number): one text each.
std::vector<std::string> RecipeWarnings(const ProductSettings& s, const RecipeText& parsed);

// Values the configuration block or the layout cannot take: one message per
// problem, empty when the recipe is within limits.
std::vector<std::string> RecipeLimitProblems(const ProductSettings& s, const RecipeText& parsed);

// Room in the configuration block: USB manufacturer + product characters, and
// the serial number's characters.
constexpr size_t kMaxUsbStringChars = 34;
constexpr size_t kSerialChars = 8;

}  // namespace galmor
