// Fuzz target: the recipe text parser and its value readers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "recipe/parser.h"
#include "recipe/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    galmor::ProductSettings s;
    int calls = 0;
    // Accept every other folder so that both paths of the folder check run.
    auto parsed =
        galmor::ParseRecipe(text, s, "/home/station", [&calls](const std::string& folder) {
            if (folder.empty() || folder.back() != '/') __builtin_trap();
            return (calls++ % 2) == 0;
        });
    auto problems = galmor::RecipeLimitProblems(s, parsed);
    (void)problems;

    // Invariants the rest of the station relies on.
    if (s.SerialNumber.size() != galmor::kSerialChars) __builtin_trap();
    if (!s.FilesFolder.empty() && s.FilesFolder.back() != '/') __builtin_trap();
    if (s.SerialComplete && !s.SerialGiven) __builtin_trap();
    if (s.Vid.size() > 4 || s.Pid.size() > 4) __builtin_trap();

    (void)galmor::RecipeNumber(text);
    (void)galmor::RecipeBool(text);
    return 0;
}
