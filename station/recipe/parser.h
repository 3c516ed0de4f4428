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

// A problem or a remark about the recipe, with its line (1-based; 0 when it
// concerns the file as a whole).
struct RecipeIssue {
    size_t line = 0;
    std::string text;
};

// The lines that set the values checked after reading (0: not set).
struct RecipeLines {
    size_t vidPid = 0, vid = 0, pid = 0;
    size_t usbManufacturer = 0, usbProduct = 0, scsiVendor = 0, scsiProduct = 0;
    size_t shares = 0, label = 0, serial = 0;
    // Headers that name no section, for pointing at a misspelt one.
    std::vector<RecipeIssue> unknownHeaders;
};

// What reading the recipe's lines produced besides the settings fields.
struct RecipeText {
    std::vector<MessageBox> messages;  // shown while reading, in order
    bool badPartitionCount = false;    // reading stopped at a bad ParNum line
    std::optional<bool> compareDisk;   // last [7301 Compare Disk Flag] value
    bool capacityGiven = false;        // a [DISK CAPACITY] Size= line was read
    size_t serialLineLength = 0;       // length of the [Serial Number] line kept
    bool empty = true;                 // no line at all
    // Lines the station cannot take as written (the recipe is refused), and
    // lines it ignores (unknown sections and keys), in line order.
    std::vector<RecipeIssue> refusals;
    std::vector<RecipeIssue> notes;
    RecipeLines lines;
};

// The recipe's bytes as UTF-8: a leading byte-order mark dropped; valid UTF-8
// as it is, anything else read as Latin-1.
std::string RecipeTextAsUtf8(std::string_view bytes);

// Characters a FAT volume label cannot hold (fsck.fat refuses the volume):
// anything outside printable ASCII and * ? / \ : < > | " . = + , ;
bool FatLabelCharacterOk(char c);

// Checks a files folder: it must exist and hold at least one file.
using FolderCheck = std::function<bool(const std::string& folder)>;

// Parses the recipe's bytes into `s` (lines end in CR LF or LF); texts are
// kept as UTF-8. A relative files folder is taken from `homeDir`. `folderOk`
// validates the files folder. Each value is checked as it is read: a line the
// station cannot take is a refusal, an unknown section or key a note.
RecipeText ParseRecipe(std::string_view text, ProductSettings& s, const std::string& homeDir,
                       const FolderCheck& folderOk);

// Values the station takes in another sense than the operator may have meant
// (a serial line longer than a serial number), and the notes of the reading.
std::vector<RecipeIssue> RecipeWarnings(const ProductSettings& s, const RecipeText& parsed);

// The refusals of the reading, then what the values read cannot be (missing
// sections, ids that are not four hex digits, strings the configuration block
// or the layout cannot take): one issue per problem, empty when the recipe is
// acceptable. Nothing is checked in a recipe without lines (the start-up's
// own messages cover a missing file).
std::vector<RecipeIssue> RecipeLimitProblems(const ProductSettings& s, const RecipeText& parsed);

// Room in the configuration block: USB manufacturer + product UTF-16 code
// units, and the serial number's characters.
constexpr size_t kMaxUsbStringChars = 34;
constexpr size_t kSerialChars = 8;

}  // namespace galmor
